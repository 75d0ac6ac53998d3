'use strict';
// Strings a caller can use against the module: NUL bytes and strings longer
// than their buffers, which would cut a name to another one or a password
// short, and control characters, which would forge log lines; and the log
// lines' copy on standard error.
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

test('a string with a NUL byte or longer than its buffer is refused by every function, naming the argument', { skip }, () => {
  const run = h.runAddon((addon) => {
    const fits = 's'.repeat(254);
    const results = {
      stored: addon.arb_set_credentials('admin', 'good', 'right-password'),
      storedFits: addon.arb_set_credentials(fits, 'good', 'p'.repeat(126)),
      aliasName: addon.arb_set_credentials('admin\0evil', 'attacker', 'x'),
      aliasUser: addon.arb_set_credentials('svc', 'user\0x', 'x'),
      cutPassword: addon.arb_set_credentials('svc', 'user', 'abc\0def'),
      get: addon.arb_get_credentials('admin\0evil'),
      sevType: addon.get_sev_list('do\0rn', 'alice'),
      sevName: addon.get_sev_list('dorn', 'alice\0x'),
      sid: addon.get_sid_from_name('alice\0x'),
      // Cut to 254 bytes, these would name the service stored above.
      longName: addon.arb_set_credentials(`${fits}/evil`, 'attacker', 'x'),
      longGet: addon.arb_get_credentials(`${fits}/evil`),
      longUser: addon.arb_set_credentials('svc', 'u'.repeat(255), 'x'),
      longPassword: addon.arb_set_credentials('svc', 'user', `eyJ${'t'.repeat(197)}`),
      longSevName: addon.get_sev_list('dorn', `alice${'\u00e9'.repeat(125)}`),
      // A NUL beyond the 254 bytes makes the name too long all the same.
      longSid: addon.get_sid_from_name(`alice${'\u00e9'.repeat(200)}\0`),
    };
    results.admin = addon.arb_get_credentials('admin');
    results.fits = addon.arb_get_credentials(fits);
    results.svc = addon.arb_get_credentials('svc');
    return results;
  }, { platform });
  assert.equal(run.type, 'object', run.error);
  assert.deepEqual(run.value, {
    stored: { status: 'OK' },
    storedFits: { status: 'OK' },
    admin: { user_name: 'good', password: 'right-password' },
    fits: { user_name: 'good', password: 'p'.repeat(126) },
  });
  // [function, argument] in the order of the calls above.
  const set = 'arb_set_credentials';
  const withNul = [[set, 'applicationName'], [set, 'username'], [set, 'password'], ['arb_get_credentials', 'serviceName'],
    ['get_sev_list', 'userType'], ['get_sev_list', 'userName'], ['get_sid_from_name', 'name']];
  const tooLong = [[set, 'applicationName'], ['arb_get_credentials', 'serviceName'], [set, 'username'],
    [set, 'password', 126], ['get_sev_list', 'userName'], ['get_sid_from_name', 'name']];
  const expected = [
    ...withNul.map(([fn, argument]) => h.mfa(fn, `${argument} contains a NUL byte`)),
    ...tooLong.map(([fn, argument, limit = 254]) => h.mfa(fn, `${argument} is longer than ${limit} bytes`)),
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
