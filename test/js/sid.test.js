'use strict';
// get_sid_from_name against both back ends of the directory library.
const assert = require('node:assert/strict');
const { test } = require('node:test');
const h = require('./support/harness');
const { forEachBackend } = require('./support/directory');

const LONG_LOGIN = 'a'.repeat(254);
const DIRECTORY = [
  ['add-user', 'alice', 'cn=alice,o=corp', 'S-1-5-21-3623811015-3361044348-30300820-1013'],
  ['add-user', LONG_LOGIN, 'cn=long,o=corp', 'S-1-5-21-1-2-3-254'],
  ['add-user', '\u00e9'.repeat(127), 'cn=accents,o=corp', 'S-1-5-21-1-2-3-127'],
  ['add-user', 'b'.repeat(255), 'cn=toolong,o=corp', 'S-1-5-21-1-2-3-255'],
  ['add-user', 'nosid', 'cn=nosid,o=corp', '-'],
  // Names holding the characters a search filter gives meaning to.
  ['add-user', 'st*r', 'cn=star,o=corp', 'S-1-5-21-1-2-3-42'],
  ['add-user', 'a(b)\\c', 'cn=paren,o=corp', 'S-1-5-21-1-2-3-43'],
];

forEachBackend(DIRECTORY, (ctx) => {
  // Calls get_sid_from_name once per argument list and returns, for each,
  // the result (or the string 'undefined') and the records the call logged.
  function lookups(argLists) {
    const run = h.runAddon((addon, lists) => lists.map((list) => {
      const value = addon.get_sid_from_name(...list);
      return value === undefined ? 'undefined' : { keys: Object.getOwnPropertyNames(value), sid: value.sid };
    }), { platform: ctx.platform, args: [argLists] });
    assert.equal(run.type, 'object', run.error);
    return { values: run.value, records: h.calls(run) };
  }

  function assertLookupFailures(records, count) {
    assert.equal(records.length, count, JSON.stringify(records));
    for (const record of records) {
      assert.equal(record.priority, h.LOG_ERR);
      assert.match(record.message, h.mfa('get_sid_from_name', 'get_sid_from_name: tamolib_get_userinfo_from_name failed'));
    }
  }

  test('a known user gives an object whose only property is its SID text', () => {
    const { values, records } = lookups([['alice'], ['alice', 'ignored', 'ignored', 'ignored']]);
    for (const value of values) {
      assert.deepEqual(value, { keys: ['sid'], sid: 'S-1-5-21-3623811015-3361044348-30300820-1013' });
    }
    assert.deepEqual(records, []);
  });

  test('a name of up to 254 bytes is found whole; a longer one is refused, never cut', () => {
    const { values, records } = lookups([[LONG_LOGIN], ['\u00e9'.repeat(127)], ['a'.repeat(300)],
      ['\u00e9'.repeat(200)], ['b'.repeat(255)]]);
    assert.equal(values[0].sid, 'S-1-5-21-1-2-3-254');
    // 127 two-byte characters are 254 bytes.
    assert.equal(values[1].sid, 'S-1-5-21-1-2-3-127');
    // Cut, the first two would name the users above.
    assert.deepEqual(values.slice(2), ['undefined', 'undefined', 'undefined']);
    assert.deepEqual(records.map((r) => [r.priority, r.message.replace(/:\d+> /, '> ')]),
      Array(3).fill([h.LOG_ERR, 'MFA-NAPI: <get_sid_from_name> name is longer than 254 bytes']));
  });

  test('a non-string or missing name fails at reading it', () => {
    const { values, records } = lookups([[42], [{ name: 'alice' }], [], [undefined], [null]]);
    assert.deepEqual(values, ['undefined', 'undefined', 'undefined', 'undefined', 'undefined']);
    assert.equal(records.length, 5);
    for (const record of records) {
      assert.equal(record.priority, h.LOG_ERR);
      assert.match(record.message, h.mfa('get_sid_from_name', 'napi_get_value_string_utf8 for reading name failed'));
    }
  });

  test('a name the directory does not resolve fails at the lookup, without its status', () => {
    const { values, records } = lookups([['nobody'], ['Alice'], ['nosid'], ['']]);
    assert.deepEqual(values, ['undefined', 'undefined', 'undefined', 'undefined']);
    assertLookupFailures(records, 4);
  });

  test('filter characters in a name match only themselves', () => {
    const attempts = ['*', 'st*', 'a*', '*)(cn=*', 'alice)(|(cn=*', '*)(sAMAccountName=alice', 'al\\69ce', 'st\\2ar'];
    const { values, records } = lookups([['st*r'], ['a(b)\\c'], ...attempts.map((name) => [name])]);
    assert.equal(values[0].sid, 'S-1-5-21-1-2-3-42');
    assert.equal(values[1].sid, 'S-1-5-21-1-2-3-43');
    assert.deepEqual(values.slice(2), attempts.map(() => 'undefined'));
    assertLookupFailures(records, attempts.length);
  });
});
