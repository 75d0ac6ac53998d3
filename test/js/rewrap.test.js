'use strict';
// `kavo rewrap --to-token`: a platform whose credentials were stored under
// the key file is given a token and moved onto it, through an interrupted
// run and a run that meets a credential it cannot move.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./support/harness');

const kavo = path.join(h.paths.repo, 'tools', 'kavo');
const credentials = [['svc-1', 'alice', 'pw-1'], ['svc-2', 'bob', 'pw-2'], ['svc-3', 'carol', 'pw-3']];

function rewrap(root, conf) {
  return spawnSync(kavo, ['--platform', root, 'rewrap', '--to-token'],
    { encoding: 'utf8', env: { ...process.env, SOFTHSM2_CONF: conf } });
}

test('rewrap --to-token moves every credential, survives an interruption, keeps the key file until all verify',
  { skip: h.tokenSkipReason, timeout: 120000 }, () => {
    const root = h.createPlatform();
    try {
      const stored = h.runAddon((addon, rows) => rows.map(([s, u, p]) => addon.arb_set_credentials(s, u, p)),
        { platform: root, args: [credentials] });
      assert.deepEqual(stored.value, credentials.map(() => ({ status: 'OK' })));
      const keyFile = path.join(root, 'system', 'xmgrcfg.ks0');
      const aside = `${keyFile}.pre-token`;
      h.attachToken(root);
      const conf = `${root}-token/softhsm2.conf`;

      // An earlier run interrupted after moving svc-1: key file aside, one
      // credential under the token.  And one stored credential that opens
      // under no keys at all.
      fs.renameSync(keyFile, aside);
      const partly = h.runAddon((addon) => [addon.arb_set_credentials('svc-1', 'alice', 'pw-1'),
        addon.arb_set_credentials('broken', 'dave', 'pw-4')], { platform: root });
      assert.deepEqual(partly.value, [{ status: 'OK' }, { status: 'OK' }]);
      const db = path.join(root, 'credstore.db');
      const sql = (statement) => assert.equal(spawnSync('sqlite3', [db, statement]).status, 0);
      sql("UPDATE credentials SET secret = zeroblob(length(secret)) WHERE service = CAST('broken' AS BLOB)");

      const refused = rewrap(root, conf);
      assert.equal(refused.status, 3, refused.stderr);
      assert.match(refused.stderr, /1 credential\(s\) did not verify under the token; the key file stays at .*xmgrcfg\.ks0\.pre-token:\n {2}broken: /);
      assert.ok(fs.existsSync(aside));

      sql("DELETE FROM credentials WHERE service = CAST('broken' AS BLOB)");
      const done = rewrap(root, conf);
      assert.equal(done.status, 0, done.stderr);
      assert.match(done.stdout, /^moved 0 credential\(s\) to the token keys, 3 were there already; every credential verified and the key file is removed$/m);
      assert.equal(fs.existsSync(aside), false);
      assert.equal(fs.existsSync(keyFile), false);
      // Run again: nothing to move, nothing to remove.
      assert.equal(rewrap(root, conf).status, 0);

      const read = h.runAddon((addon, rows) => rows.map(([s]) => addon.arb_get_credentials(s)),
        { platform: root, args: [credentials] });
      assert.deepEqual(read.value, credentials.map(([, u, p]) => ({ user_name: u, password: p })));
    } finally {
      h.removePlatform(root);
    }
  });

test('rewrap refuses a platform whose configuration names no token', { skip: h.skipReason }, () => {
  const root = h.createPlatform();
  try {
    const run = rewrap(root, '/nonexistent');
    assert.equal(run.status, 2, run.stderr);
    assert.match(run.stderr, /the configuration names no token \(Pkcs11Module, Pkcs11TokenLabel, Pkcs11PinFile missing\)/);
  } finally {
    h.removePlatform(root);
  }
});
