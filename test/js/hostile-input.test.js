'use strict';
// Strings a caller can use against the module: NUL bytes, which would cut a
// name to another one or a password short, and control characters, which
// would forge log lines; and the log lines' copy on standard error.
const assert = require('node:assert/strict');
const { test, before, after } = require('node:test');
const h = require('./support/harness');

const skip = h.skipReason;
let platform;

before(() => {
  if (skip) return;
  platform = h.createPlatform({
    directory: [['add-user', 'alice', 'cn=alice,o=corp', 'S-1-5-21-1-2-3-1001']],
  });
});
after(() => platform && h.removePlatform(platform));

test('a string with a NUL byte is refused by every function, naming the argument', { skip }, () => {
  const run = h.runAddon((addon) => {
    const results = {
      stored: addon.arb_set_credentials('admin', 'good', 'right-password'),
      aliasName: addon.arb_set_credentials('admin\0evil', 'attacker', 'x'),
      aliasUser: addon.arb_set_credentials('svc', 'user\0x', 'x'),
      cutPassword: addon.arb_set_credentials('svc', 'user', 'abc\0def'),
      get: addon.arb_get_credentials('admin\0evil'),
      sevType: addon.get_sev_list('do\0rn', 'alice'),
      sevName: addon.get_sev_list('dorn', 'alice\0x'),
      sid: addon.get_sid_from_name('alice\0x'),
      // A NUL beyond what the read keeps is cut off with the rest.
      sidPastCut: addon.get_sid_from_name(`alice${'\u00e9'.repeat(200)}\0`),
    };
    results.admin = addon.arb_get_credentials('admin');
    results.svc = addon.arb_get_credentials('svc');
    return results;
  }, { platform });
  assert.equal(run.type, 'object', run.error);
  assert.deepEqual(run.value, { stored: { status: 'OK' }, admin: { user_name: 'good', password: 'right-password' } });
  const expected = [
    h.mfa('arb_set_credentials', 'applicationName contains a NUL byte'),
    h.mfa('arb_set_credentials', 'username contains a NUL byte'),
    h.mfa('arb_set_credentials', 'password contains a NUL byte'),
    h.mfa('arb_get_credentials', 'serviceName contains a NUL byte'),
    h.mfa('get_sev_list', 'userType contains a NUL byte'),
    h.mfa('get_sev_list', 'userName contains a NUL byte'),
    h.mfa('get_sid_from_name', 'name contains a NUL byte'),
    h.mfa('get_sid_from_name', 'get_sid_from_name: tamolib_get_userinfo_from_name failed'),
    ...h.readFailed('Service entry <svc> not found in ARB'),
  ];
  h.assertErrorLines(run, expected);
});

test('control characters in names are written as \\xHH: one call, one line', { skip }, () => {
  const run = h.runAddon((addon) => [
    addon.arb_get_credentials('x\nMFA-NAPI: <forged:1> evil'),
    addon.get_sev_list('dorn', 'bob\r\u001b[2J\u007f'),
    addon.arb_set_credentials('tab\there', '', 'pw'),
  ], { platform });
  assert.equal(run.type, 'object', run.error);
  assert.deepEqual(h.errorLines(run).map((line) => line.replace(/:\d+> /, '> ')), [
    'MFA-NAPI: <load_creds_from_arb> Service entry <x\\x0aMFA-NAPI: <forged:1> evil> not found in ARB',
    'MFA-NAPI: <arb_get_credentials> load_creds_from_arb failed',
    'MFA-NAPI: <GetSevListDornUser> Failed to get SEV list of user: bob\\x0d\\x1b[2J\\x7f, error: -9001',
    'MFA-NAPI: <get_sev_list> Failed to get sev list of user type dorn',
    'MFA-NAPI: <set_creds_in_arb> User name is not set for service tab\\x09here',
    'MFA-NAPI: <arb_set_credentials> set_creds_in_arb failed',
  ]);
});

test('KAVO_LOG_STDERR=1 copies every logged line to stderr, one line each; unset, nothing', { skip }, () => {
  const script = (addon) => [addon.arb_get_credentials('line\nbreak'), addon.get_sev_list('ad', 'alice')];
  const mirrored = (run) => run.stderr.split('\n').filter((line) => line.startsWith('MFA-NAPI: '));

  const on = h.runAddon(script, { platform, env: { KAVO_LOG_STDERR: '1' } });
  assert.equal(on.type, 'object', on.error);
  assert.equal(on.syslog.length, 4);  // the start-up line and three failures
  assert.deepEqual(mirrored(on), on.syslog.map((record) => record.message));

  const off = h.runAddon(script, { platform, env: { KAVO_LOG_STDERR: '' } });
  assert.equal(off.syslog.length, 4);
  assert.deepEqual(mirrored(off), []);
});
