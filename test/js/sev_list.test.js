'use strict';
// get_sev_list against the directory simulator.
const assert = require('node:assert/strict');
const { test, before, after } = require('node:test');
const h = require('./support/harness');

const MISSING_GUID = '00112233445566778899aabbccddeeff';
const LONG_DN = `cn=${'x'.repeat(293)},o=c`; // 300 bytes
let platform;

before(() => {
  if (h.skipReason) return;
  const commands = [];
  for (let i = 0; i < 25; i++) commands.push(['add-entry', `cn=group${i},o=corp`]);
  commands.push(['add-entry', LONG_DN]);
  const user = (login, ...members) => {
    commands.push(['add-user', login, `cn=${login},o=users`, '']);
    commands.push(['set-sev', login, ...members]);
  };
  // The list order is the directory's, not the order of the entries.
  user('alice', 'cn=group2,o=corp', 'cn=group0,o=corp', 'cn=group1,o=corp');
  user('j\u00fcrgen', 'cn=group7,o=corp');
  user('many', ...Array.from({ length: 25 }, (_, i) => `cn=group${24 - i},o=corp`));
  user('twenty', ...Array.from({ length: 20 }, (_, i) => `cn=group${i},o=corp`));
  user('longdn', LONG_DN, 'cn=group3,o=corp');
  user('empty');
  user('dangling', 'cn=group1,o=corp', `guid:${MISSING_GUID}`);
  platform = h.createPlatform({ directory: commands });
});
after(() => platform && h.removePlatform(platform));

// Runs get_sev_list once per argument list; each value is the result object
// (with its own property names in order) or the string 'undefined'.
function lists(argLists) {
  const run = h.runAddon((addon, all) => all.map((list) => {
    const value = addon.get_sev_list(...list);
    return value === undefined ? 'undefined' : { keys: Object.getOwnPropertyNames(value), value };
  }), { platform, args: [argLists] });
  assert.equal(run.type, 'object', run.error);
  return { values: run.value, records: h.calls(run) };
}

function assertRecords(records, expected) {
  assert.equal(records.length, expected.length, JSON.stringify(records));
  expected.forEach(([fn, text], i) => {
    assert.equal(records[i].priority, h.LOG_ERR);
    assert.match(records[i].message, h.mfa(fn, text));
  });
}

test('a dorn user gets sev_count and group0.. in the directory order, nothing else', { skip: h.skipReason }, () => {
  const { values, records } = lists([['dorn', 'alice'], ['dorn', 'j\u00fcrgen'], ['dornier', 'alice', 'extra']]);
  assert.deepEqual(values[0], {
    keys: ['sev_count', 'group0', 'group1', 'group2'],
    value: { sev_count: 3, group0: 'cn=group2,o=corp', group1: 'cn=group0,o=corp', group2: 'cn=group1,o=corp' },
  });
  // A non-ASCII name reaches the directory through the 16-bit form.
  assert.deepEqual(values[1].value, { sev_count: 1, group0: 'cn=group7,o=corp' });
  // The type is read with four bytes: "dornier" is served as "dorn".
  assert.deepEqual(values[2], values[0]);
  assert.deepEqual(records, []);
});

test('ad and unknown user types are refused with their own messages', { skip: h.skipReason }, () => {
  const types = ['ad', 'AD', 'Dorn', '', 'adm', 'admin', 'dor', 'ldap'];
  const { values, records } = lists(types.map((type) => [type, 'alice']));
  assert.deepEqual(values, types.map(() => 'undefined'));
  assertRecords(records, [
    ['get_sev_list', 'Getting SEV list for AD user is not supported'],
    ...types.slice(1).map(() => ['get_sev_list', 'unknown user type']),
  ]);
});

test('a missing or non-string argument fails at reading it', { skip: h.skipReason }, () => {
  const { values, records } = lists([[], ['dorn'], [5, 'alice'], ['dorn', { login: 'alice' }]]);
  assert.deepEqual(values, ['undefined', 'undefined', 'undefined', 'undefined']);
  assertRecords(records, Array(4).fill(['get_sev_list', 'napi_get_value_string_utf8 failed']));
});

test('lists of 20 and of more than 20 entries come back whole and in order', { skip: h.skipReason }, () => {
  const { values, records } = lists([['dorn', 'many'], ['dorn', 'twenty']]);
  const many = values[0].value;
  assert.equal(many.sev_count, 25);
  assert.equal(values[0].keys.length, 26);
  for (let i = 0; i < 25; i++) assert.equal(many[`group${i}`], `cn=group${24 - i},o=corp`);
  assert.equal(values[1].value.sev_count, 20);
  assert.equal(values[1].value.group19, 'cn=group19,o=corp');
  assert.deepEqual(records, []);
});

test('a DN of 300 bytes comes back cut to its first 255 bytes', { skip: h.skipReason }, () => {
  const { values } = lists([['dorn', 'longdn']]);
  assert.equal(Buffer.byteLength(LONG_DN), 300);
  assert.deepEqual(values[0].value, { sev_count: 2, group0: LONG_DN.slice(0, 255), group1: 'cn=group3,o=corp' });
});

test('an empty list is a failure, reported by the helper and then by the call', { skip: h.skipReason }, () => {
  const { values, records } = lists([['dorn', 'empty'], ['dornX', 'empty']]);
  assert.deepEqual(values, ['undefined', 'undefined']);
  assertRecords(records, [
    ['GetSevListDornUser', 'sevCount is zero'],
    ['get_sev_list', 'Failed to get sev list of user type dorn'],
    ['GetSevListDornUser', 'sevCount is zero'],
    ['get_sev_list', 'Failed to get sev list of user type dorn'],
  ]);
});

test('an unknown user fails at the list call with its name and status', { skip: h.skipReason }, () => {
  const { values, records } = lists([['dorn', 'nobody']]);
  assert.deepEqual(values, ['undefined']);
  assertRecords(records, [
    ['GetSevListDornUser', 'Failed to get SEV list of user: nobody, error: -9001'],
    ['get_sev_list', 'Failed to get sev list of user type dorn'],
  ]);
});

test('a GUID without entry fails the whole call and is logged in 8-4-4-2-2-12 form', { skip: h.skipReason }, () => {
  const { values, records } = lists([['dorn', 'dangling']]);
  assert.deepEqual(values, ['undefined']);
  assertRecords(records, [
    ['ConvertSevListFromGuidToDNs', 'Failed to get user details by GUID: 33221100-5544-7766-88-99-aabbccddeeff, error: -9001'],
    ['get_sev_list', 'Failed to get sev list of user type dorn'],
  ]);
});
