'use strict';
// get_sev_list against both back ends of the directory library.
const assert = require('node:assert/strict');
const { test } = require('node:test');
const h = require('./support/harness');
const { forEachBackend } = require('./support/directory');

const MISSING_GUID = '00112233445566778899aabbccddeeff';
// 300 bytes, in two long RDNs (the mdb back end limits one RDN's length).
const LONG_DN = `cn=${'x'.repeat(146)},ou=${'y'.repeat(140)},o=corp`;
const GROUPS = 200;
const group = (i) => `cn=group${i},ou=groups,o=corp`;

const DIRECTORY = [];
for (let i = 0; i < GROUPS; i++) DIRECTORY.push(['add-entry', group(i)]);
DIRECTORY.push(['add-entry', LONG_DN]);
function user(login, ...members) {
  // A long login gets a short RDN (the mdb back end limits one RDN's length).
  DIRECTORY.push(['add-user', login, `cn=${login.length > 64 ? `user${login.length}` : login},ou=users,o=corp`, '']);
  DIRECTORY.push(['set-sev', login, ...members]);
}
// The list order is the directory's, not the order of the entries.
user('alice', group(2), group(0), group(1));
user('j\u00fcrgen', group(7));
user('many', ...Array.from({ length: GROUPS }, (_, i) => group(GROUPS - 1 - i)));
user('twenty', ...Array.from({ length: 20 }, (_, i) => group(i)));
user('longdn', LONG_DN, group(3));
user('empty');
user('dangling', group(1), `guid:${MISSING_GUID}`);
user('admin', group(4));
user('admin\u{1F600}', group(5));
user('\u{1F600}admin', group(6));
user('l'.repeat(254), group(8));

function assertRecords(records, expected) {
  assert.equal(records.length, expected.length, JSON.stringify(records));
  expected.forEach(([fn, text], i) => {
    assert.equal(records[i].priority, h.LOG_ERR);
    assert.match(records[i].message, h.mfa(fn, text));
  });
}

forEachBackend(DIRECTORY, (ctx) => {
  // Runs get_sev_list once per argument list; each value is the result
  // object (with its own property names in order) or the string 'undefined'.
  function lists(argLists) {
    const run = h.runAddon((addon, all) => all.map((list) => {
      const value = addon.get_sev_list(...list);
      return value === undefined ? 'undefined' : { keys: Object.getOwnPropertyNames(value), value };
    }), { platform: ctx.platform, args: [argLists] });
    assert.equal(run.type, 'object', run.error);
    return { values: run.value, records: h.calls(run) };
  }

  test('a dorn user gets sev_count and group0.. in the directory order, nothing else', () => {
    const { values, records } = lists([['dorn', 'alice'], ['dorn', 'j\u00fcrgen'], ['dornier', 'alice', 'extra']]);
    assert.deepEqual(values[0], {
      keys: ['sev_count', 'group0', 'group1', 'group2'],
      value: { sev_count: 3, group0: group(2), group1: group(0), group2: group(1) },
    });
    // A non-ASCII name reaches the directory through the 16-bit form.
    assert.deepEqual(values[1].value, { sev_count: 1, group0: group(7) });
    // The type is read with four bytes: "dornier" is served as "dorn".
    assert.deepEqual(values[2], values[0]);
    assert.deepEqual(records, []);
  });

  test('ad and unknown user types are refused with their own messages', () => {
    const types = ['ad', 'AD', 'Dorn', '', 'adm', 'admin', 'dor', 'ldap'];
    const { values, records } = lists(types.map((type) => [type, 'alice']));
    assert.deepEqual(values, types.map(() => 'undefined'));
    assertRecords(records, [
      ['get_sev_list', 'Getting SEV list for AD user is not supported'],
      ...types.slice(1).map(() => ['get_sev_list', 'unknown user type']),
    ]);
  });

  test('a missing or non-string argument fails at reading it', () => {
    const { values, records } = lists([[], ['dorn'], [5, 'alice'], ['dorn', { login: 'alice' }]]);
    assert.deepEqual(values, ['undefined', 'undefined', 'undefined', 'undefined']);
    assertRecords(records, Array(4).fill(['get_sev_list', 'napi_get_value_string_utf8 failed']));
  });

  test('lists of 20 and of 200 entries come back whole and in order', () => {
    const { values, records } = lists([['dorn', 'many'], ['dorn', 'twenty']]);
    const many = values[0].value;
    assert.equal(many.sev_count, GROUPS);
    assert.equal(values[0].keys.length, GROUPS + 1);
    for (let i = 0; i < GROUPS; i++) assert.equal(many[`group${i}`], group(GROUPS - 1 - i));
    assert.equal(values[1].value.sev_count, 20);
    for (let i = 0; i < 20; i++) assert.equal(values[1].value[`group${i}`], group(i));
    assert.deepEqual(records, []);
  });

  test('a DN of 300 bytes comes back whole', () => {
    const { values } = lists([['dorn', 'longdn']]);
    assert.equal(Buffer.byteLength(LONG_DN), 300);
    assert.deepEqual(values[0].value, { sev_count: 2, group0: LONG_DN, group1: group(3) });
  });

  test('a name is looked up as given: characters above U+FFFF count, one of 255 bytes is refused', () => {
    const { values, records } = lists([['dorn', 'admin\u{1F600}'], ['dorn', '\u{1F600}admin'],
      ['dorn', 'admin'], ['dorn', 'l'.repeat(254)], ['dorn', 'l'.repeat(255)]]);
    assert.deepEqual(values.slice(0, 4).map((v) => v.value), [
      { sev_count: 1, group0: group(5) },
      { sev_count: 1, group0: group(6) },
      { sev_count: 1, group0: group(4) },
      { sev_count: 1, group0: group(8) },
    ]);
    assert.equal(values[4], 'undefined');
    assertRecords(records, [['get_sev_list', 'userName is longer than 254 bytes']]);
  });

  test('an empty list is a failure, reported by the helper and then by the call', () => {
    const { values, records } = lists([['dorn', 'empty'], ['dornX', 'empty']]);
    assert.deepEqual(values, ['undefined', 'undefined']);
    assertRecords(records, [
      ['GetSevListDornUser', 'sevCount is zero'],
      ['get_sev_list', 'Failed to get sev list of user type dorn'],
      ['GetSevListDornUser', 'sevCount is zero'],
      ['get_sev_list', 'Failed to get sev list of user type dorn'],
    ]);
  });

  test('an unknown user fails at the list call with its name and status', () => {
    const { values, records } = lists([['dorn', 'nobody'], ['dorn', 'ALICE'], ['dorn', '*']]);
    assert.deepEqual(values, ['undefined', 'undefined', 'undefined']);
    assertRecords(records, ['nobody', 'ALICE', '*'].flatMap((name) => [
      ['GetSevListDornUser', `Failed to get SEV list of user: ${name}, error: -9001`],
      ['get_sev_list', 'Failed to get sev list of user type dorn'],
    ]));
  });

  // SQLite keeps list members as GUIDs and fails the lookup of one without
  // entry; LDAP keeps DNs and fails the list call on one that names no entry.
  test('a list member without entry fails the whole call', () => {
    const { values, records } = lists([['dorn', 'dangling']]);
    assert.deepEqual(values, ['undefined']);
    assertRecords(records, [
      ctx.backend === 'sqlite'
        ? ['ConvertSevListFromGuidToDNs', 'Failed to get user details by GUID: 33221100-5544-7766-88-99-aabbccddeeff, error: -9001']
        : ['GetSevListDornUser', 'Failed to get SEV list of user: dangling, error: -9012'],
      ['get_sev_list', 'Failed to get sev list of user type dorn'],
    ]);
  });
});
