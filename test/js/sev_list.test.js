'use strict';
// get_sev_list against both back ends of the directory library.
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const h = require('./support/harness');
const { forEachBackend } = require('./support/directory');

const MISSING_GUID = '00112233445566778899aabbccddeeff';
// 300 bytes, in RDNs short enough for every back end (the mdb back end and
// Active Directory limit one RDN's length; there it is longer still).
const LONG_DN = `cn=${'x'.repeat(55)},ou=${'y'.repeat(55)},ou=${'z'.repeat(55)},ou=${'w'.repeat(55)},ou=${'v'.repeat(54)},o=corp`;
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
// Active Directory only: a group inside alice's group 2; her list holds her
// direct memberships, so not this one.
DIRECTORY.push(['add-entry', 'cn=outer,ou=groups,o=corp'], ['ad-nest', group(2), 'cn=outer,ou=groups,o=corp']);

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
    const run = ctx.run((addon, all) => all.map((list) => {
      const value = addon.get_sev_list(...list);
      return value === undefined ? 'undefined' : { keys: Object.getOwnPropertyNames(value), value };
    }), { args: [argLists] });
    assert.equal(run.type, 'object', run.error);
    return { values: run.value, records: h.calls(run) };
  }

  // Asserts that value is the list of DNs (in that order where the directory
  // keeps the commands' order, else as a set), each whole, and that
  // the directory holds exactly those: the commands' list for login.
  function assertList(value, login, dns) {
    const n = dns.length;
    assert.deepEqual(value.keys, ['sev_count', ...Array.from({ length: n }, (_, i) => `group${i}`)]);
    assert.equal(value.value.sev_count, n);
    const got = value.keys.slice(1).map((key) => value.value[key]);
    const want = dns.map((dn) => ctx.dn(dn));
    assert.deepEqual([...ctx.list(login)].sort(), [...want].sort(), `the directory's list of ${login}`);
    if (ctx.ordered) assert.deepEqual(got, want);
    else assert.deepEqual(got, ctx.list(login));
  }

  test('a dorn user gets sev_count and group0.. in the directory order, nothing else', () => {
    const { values, records } = lists([['dorn', 'alice'], ['dorn', 'j\u00fcrgen'], ['dornier', 'alice', 'extra']]);
    // Direct memberships only: not the group that holds group 2.
    assertList(values[0], 'alice', [group(2), group(0), group(1)]);
    // A non-ASCII name reaches the directory through the 16-bit form.
    assertList(values[1], 'j\u00fcrgen', [group(7)]);
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
    assertList(values[0], 'many', Array.from({ length: GROUPS }, (_, i) => group(GROUPS - 1 - i)));
    assertList(values[1], 'twenty', Array.from({ length: 20 }, (_, i) => group(i)));
    assert.deepEqual(records, []);
  });

  test('a DN of 300 bytes comes back whole', () => {
    const { values } = lists([['dorn', 'longdn']]);
    assert.equal(Buffer.byteLength(LONG_DN), 300);
    assertList(values[0], 'longdn', [LONG_DN, group(3)]);
  });

  test('a name is looked up as given: characters above U+FFFF count, one of 255 bytes is refused', () => {
    const logins = ['admin\u{1F600}', '\u{1F600}admin', 'admin', 'l'.repeat(254)];
    const groups = [group(5), group(6), group(4), group(8)];
    const { values, records } = lists([...logins.map((login) => ['dorn', login]), ['dorn', 'l'.repeat(255)]]);
    // A login the directory cannot hold (Active Directory's length limit)
    // is not found; every other one gets its own list, never another's.
    const missing = logins.filter((login) => ctx.list(login) === undefined);
    logins.forEach((login, i) => {
      if (missing.includes(login)) assert.equal(values[i], 'undefined');
      else assertList(values[i], login, [groups[i]]);
    });
    assert.equal(values[4], 'undefined');
    const refusals = records.filter((r) => /is longer than/.test(r.message));
    assertRecords(refusals, [['get_sev_list', 'userName is longer than 254 bytes']]);
    assert.equal(records.length - refusals.length, 2 * missing.length);
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

  // Active Directory compares logins without regard to case: there ALICE
  // is alice.
  test('an unknown user fails at the list call with its name and status', () => {
    const unknown = ['nobody', '*', ...(ctx.ordered ? ['ALICE'] : [])];
    const { values, records } = lists(unknown.map((name) => ['dorn', name]));
    assert.deepEqual(values, unknown.map(() => 'undefined'));
    assertRecords(records, unknown.flatMap((name) => [
      ['GetSevListDornUser', `Failed to get SEV list of user: ${name}, error: -9001`],
      ['get_sev_list', 'Failed to get sev list of user type dorn'],
    ]));
    if (!ctx.ordered) assertList(lists([['dorn', 'ALICE']]).values[0], 'alice', [group(2), group(0), group(1)]);
  });

  // A link that holds each answer 100 ms in front of the domain controller:
  // after a first call (connection, TLS, bind), a list of 200 groups is
  // two round trips, the user and then its groups read a few searches at a
  // time; read one group at a time, 64 waiting at most, it would be at
  // least four.
  // On slapd, the directory library's own tests check the same.
  if (ctx.backend === 'samba') {
    test('a list of 200 costs two round trips to the domain controller', async () => {
      const proxy = spawn('nsenter', [`--net=${ctx.dc.netns}`, '--',
        path.join(h.paths.support, 'kavo-delay-proxy'), '636', '100000'], { stdio: ['pipe', 'pipe', 'inherit'] });
      const conf = path.join(ctx.platform, 'directory.conf');
      const direct = fs.readFileSync(conf, 'utf8');
      try {
        const [port] = await once(proxy.stdout, 'data');
        fs.writeFileSync(conf, direct.replace('ldaps://127.0.0.1', `ldaps://127.0.0.1:${Number(port)}`));
        const run = ctx.run((addon) => {
          addon.get_sev_list('dorn', 'many');
          const start = process.hrtime.bigint();
          const list = addon.get_sev_list('dorn', 'many');
          return { ms: Number(process.hrtime.bigint() - start) / 1e6, count: list?.sev_count };
        });
        assert.equal(run.type, 'object', run.error);
        assert.equal(run.value.count, GROUPS);
        assert.ok(run.value.ms >= 200 && run.value.ms < 400, `${run.value.ms} ms`);
      } finally {
        fs.writeFileSync(conf, direct);
        proxy.stdin.end();
        proxy.kill();
      }
    });
  }

  // SQLite keeps list members as GUIDs and fails the lookup of one without
  // entry; LDAP keeps DNs and fails the list call on one that names no entry.
  test('a list member without entry fails the whole call', {
    skip: ctx.backend === 'samba' && 'Active Directory holds no membership of a missing entry',
  }, () => {
    const { values, records } = lists([['dorn', 'dangling']]);
    assert.deepEqual(values, ['undefined']);
    assertRecords(records, [
      ctx.backend === 'sqlite'
        ? ['ConvertSevListFromGuidToDNs', 'Failed to get user details by GUID: 33221100-5544-7766-88-99-aabbccddeeff, error: -9001']
        : ['GetSevListDornUser', 'Failed to get SEV list of user: dangling, error: -9012'],
      ['get_sev_list', 'Failed to get sev list of user type dorn'],
    ]);
  });
}, { samba: true });
