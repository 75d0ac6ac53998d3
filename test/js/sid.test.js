'use strict';
// get_sid_from_name against both back ends of the directory library.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
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
    const run = ctx.run((addon, lists) => lists.map((list) => {
      const value = addon.get_sid_from_name(...list);
      return value === undefined ? 'undefined' : { keys: Object.getOwnPropertyNames(value), sid: value.sid };
    }), { args: [argLists] });
    assert.equal(run.type, 'object', run.error);
    return { values: run.value, records: h.calls(run) };
  }

  // The answer the directory's own word calls for: its SID, or a failure.
  const expected = (login) => (ctx.sid(login) === undefined ? 'undefined' : { keys: ['sid'], sid: ctx.sid(login) });

  function assertLookupFailures(records, count) {
    assert.equal(records.length, count, JSON.stringify(records));
    for (const record of records) {
      assert.equal(record.priority, h.LOG_ERR);
      assert.match(record.message, h.mfa('get_sid_from_name', 'get_sid_from_name: tamolib_get_userinfo_from_name failed'));
    }
  }

  test('a known user gives an object whose only property is its SID text', () => {
    const { values, records } = lookups([['alice'], ['alice', 'ignored', 'ignored', 'ignored']]);
    assert.match(ctx.sid('alice'), /^S-1-5-21-\d+-\d+-\d+-\d+$/);
    for (const value of values) assert.deepEqual(value, expected('alice'));
    assert.deepEqual(records, []);
  });

  test('a name of up to 254 bytes is found whole; a longer one is refused, never cut', () => {
    const fits = [LONG_LOGIN, '\u00e9'.repeat(127)];  // 127 two-byte characters are 254 bytes
    const { values, records } = lookups([...fits.map((login) => [login]), ['a'.repeat(300)],
      ['\u00e9'.repeat(200)], ['b'.repeat(255)]]);
    fits.forEach((login, i) => assert.deepEqual(values[i], expected(login)));
    // Cut, the last three would name the users above.
    assert.deepEqual(values.slice(2), ['undefined', 'undefined', 'undefined']);
    const refusals = records.filter((r) => /is longer than/.test(r.message));
    assert.deepEqual(refusals.map((r) => [r.priority, r.message.replace(/:\d+> /, '> ')]),
      Array(3).fill([h.LOG_ERR, 'MFA-NAPI: <get_sid_from_name> name is longer than 254 bytes']));
    // A directory that cannot hold such a login (Active Directory) answers
    // the names that fit with a failed lookup.
    assertLookupFailures(records.filter((r) => !refusals.includes(r)),
      fits.filter((login) => ctx.sid(login) === undefined).length);
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

  // Case: SQLite and the test LDAP schema compare logins byte for byte,
  // Active Directory without regard to case; a user without SID exists
  // only where the directory lets one be.
  test('a name the directory does not resolve fails at the lookup, without its status', () => {
    const names = ['nobody', 'Alice', 'nosid', ''];
    const { values, records } = lookups(names.map((name) => [name]));
    assert.deepEqual(values, names.map(expected));
    assert.equal(values[0], 'undefined');
    if (ctx.backend !== 'samba') assert.equal(values[1], 'undefined');
    assertLookupFailures(records, names.filter((name) => ctx.sid(name) === undefined).length);
  });

  test('filter characters in a name match only themselves', () => {
    const attempts = ['*', 'st*', 'a*', '*)(cn=*', 'alice)(|(cn=*', '*)(sAMAccountName=alice', 'al\\69ce', 'st\\2ar'];
    const { values, records } = lookups([['st*r'], ['a(b)\\c'], ...attempts.map((name) => [name])]);
    // Active Directory refuses such logins: there the users do not exist.
    assert.deepEqual(values.slice(0, 2), [expected('st*r'), expected('a(b)\\c')]);
    if (ctx.backend !== 'samba') assert.equal(values[0].sid, 'S-1-5-21-1-2-3-42');
    assert.deepEqual(values.slice(2), attempts.map(() => 'undefined'));
    assertLookupFailures(records, values.filter((value) => value === 'undefined').length);
  });

  if (ctx.backend !== 'samba') return;

  // Active Directory gives groups, computers and trust accounts a login too.
  test('only user objects answer for a login, not groups or computers', () => {
    const names = ['Domain Admins', 'Administrators', 'DC1$', 'Administrator'];
    const { values, records } = lookups(names.map((name) => [name]));
    assert.deepEqual(values.slice(0, 3), ['undefined', 'undefined', 'undefined']);
    assert.deepEqual(values[3], expected('Administrator'));
    assert.match(values[3].sid, /-500$/);
    assertLookupFailures(records, 3);
  });

  test('a wrong password is sent once: no lockout, however many calls', () => {
    const file = path.join(ctx.platform, 'svc-kavo.pw');
    const right = fs.readFileSync(file, 'utf8');
    fs.writeFileSync(file, 'Not-The-Password-1!');
    try {
      const { values } = lookups(Array.from({ length: 12 }, () => ['alice']));
      assert.deepEqual(values, Array(12).fill('undefined'));
      // The domain locks the account at 5; one attempt was made.
      assert.deepEqual(ctx.dc.badPasswordCount('svc-kavo'), { badPwdCount: 1, lockoutTime: 0 });
    } finally {
      fs.writeFileSync(file, right);
    }
    assert.deepEqual(lookups([['alice']]).values, [expected('alice')]);
  });

  test('a server certificate from a CA not trusted is refused', () => {
    const conf = path.join(ctx.platform, 'directory.conf');
    const trusted = fs.readFileSync(conf, 'utf8');
    // The system's CA certificates only: the test CA is not among them.
    fs.writeFileSync(conf, trusted.replace(/^tls_ca_file = .*\n/m, ''));
    try {
      assert.deepEqual(lookups([['alice']]).values, ['undefined']);
    } finally {
      fs.writeFileSync(conf, trusted);
    }
  });
}, { samba: true });
