'use strict';
// arb_set_credentials and arb_get_credentials against the real add-on, the
// credential store simulator and the real protection layer and crypto
// simulator, each run in a sandboxed Node.js child (support/harness.js).
// Rows with odd contents are written straight into the store's SQLite
// database with the sqlite3 command.  The whole suite runs twice: with the
// machine keys in the key-store file, and in a SoftHSM2 token.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./support/harness');


// Runs one SQL statement against a platform's credential store database.
function sql(platform, statement) {
  const run = spawnSync('sqlite3', ['-batch', path.join(platform, 'credstore.db'), statement], {
    encoding: 'utf8',
  });
  if (run.error || run.status !== 0) {
    throw new Error(`sqlite3 failed: ${run.error ? run.error.message : run.stderr}`);
  }
  return run.stdout.trim();
}

// The stored secret of a service, as a Buffer.
function storedSecret(platform, service) {
  const hex = sql(platform, `SELECT hex(secret) FROM credentials WHERE service = CAST('${service}' AS BLOB)`);
  assert.notEqual(hex, '', `no row for ${service}`);
  return Buffer.from(hex, 'hex');
}

// Writes a row by hand; userName and secret are Buffers.
function insertRow(platform, service, userName, userNameLength, secret) {
  sql(platform, 'INSERT OR REPLACE INTO credentials VALUES ' +
    `(CAST('${service}' AS BLOB), X'${userName.toString('hex')}', ${userNameLength}, ` +
    `X'${secret.toString('hex')}', ${secret.length})`);
}

for (const keyStore of h.keyStores) {
  const token = keyStore === 'token';
  const skip = token ? h.tokenSkipReason : h.skipReason;
  const keys = ` [${keyStore} keys]`;

  function withPlatform(fn) {
    return async () => {
      const platform = h.createPlatform({ token });
      try {
        await fn(platform);
      } finally {
        h.removePlatform(platform);
      }
    };
  }

  test('credentials round trip: ASCII, UTF-8, empty and 126-byte passwords' + keys, { skip }, withPlatform((platform) => {
    const cases = [
      ['ascii-service', 'svc-admin', 'Passw0rd!'],
      ['utf8-service', 'jürgen.müller', 'пароль-密码-🔑'],
      ['empty-password', 'bob', ''],
      ['long-password', 'carol', 'x'.repeat(124) + '\u00e9'],
    ];
    const result = h.runAddon((addon, rows) => rows.map(([service, user, password]) => ({
      set: addon.arb_set_credentials(service, user, password),
      get: addon.arb_get_credentials(service),
    })).map(({ set, get }) => ({ set, setKeys: Object.keys(set), get, getKeys: Object.keys(get) })),
    { platform, args: [cases] });

    assert.equal(result.type, 'object', result.error || result.stderr);
    assert.deepEqual(h.errorLines(result), []);
    result.value.forEach(({ set, setKeys, get, getKeys }, i) => {
      const [, user, password] = cases[i];
      assert.deepEqual(set, { status: 'OK' });
      assert.deepEqual(setKeys, ['status']);
      assert.deepEqual(getKeys, ['user_name', 'password']);
      assert.equal(get.user_name, user);
      assert.equal(get.password, password);
    });

    // The store holds a protected blob, never the password itself.
    const secret = storedSecret(platform, 'ascii-service');
    assert.equal(secret.readUInt32LE(0), 0xA12B);
    assert.equal(secret.indexOf(Buffer.from('Passw0rd!')), -1);
  }));

  test('storing again under a service name replaces its credentials' + keys, { skip }, withPlatform((platform) => {
    const result = h.runAddon((addon) => [
      addon.arb_set_credentials('svc', 'first-user', 'first-password'),
      addon.arb_set_credentials('svc', 'second', 'pw2'),
      addon.arb_get_credentials('svc'),
    ], { platform });
    assert.deepEqual(result.value, [{ status: 'OK' }, { status: 'OK' }, { user_name: 'second', password: 'pw2' }]);
    assert.equal(sql(platform, 'SELECT count(*) FROM credentials'), '1');
  }));

  test('credentials stored by one process are read by another' + keys, { skip }, withPlatform((platform) => {
    const stored = h.runAddon((addon) => addon.arb_set_credentials('shared', 'writer', 'from-process-one'),
      { platform });
    assert.deepEqual(stored.value, { status: 'OK' });
    const read = h.runAddon((addon) => addon.arb_get_credentials('shared'), { platform });
    assert.deepEqual(read.value, { user_name: 'writer', password: 'from-process-one' });
    assert.deepEqual(h.errorLines(read), []);
  }));

  test('store and read failures are reported as message pairs and yield undefined' + keys, { skip },
    withPlatform((platform) => {
      const result = h.runAddon((addon) => ({
        missing: addon.arb_get_credentials('never-stored'),
        emptyUser: addon.arb_set_credentials('no-user', '', 'pw'),
        afterEmptyUser: addon.arb_get_credentials('no-user'),
      }), { platform });
      assert.equal(result.type, 'object', result.error);
      assert.deepEqual(result.value, {});  // three undefined values
      h.assertErrorLines(result, [
        ...h.readFailed('Service entry <never-stored> not found in ARB'),
        ...h.storeFailed('User name is not set for service no-user'),
        // The refused credential was not stored.
        ...h.readFailed('Service entry <no-user> not found in ARB'),
      ]);
    }));

  test('stored user name lengths 0 and 256 are read, 257 is refused' + keys, { skip }, withPlatform((platform) => {
    const base = h.runAddon((addon) => addon.arb_set_credentials('base', 'alice', 'pw-base'), { platform });
    assert.deepEqual(base.value, { status: 'OK' });
    const secret = storedSecret(platform, 'base');
    insertRow(platform, 'len0', Buffer.alloc(0), 0, secret);
    // 256 bytes with no zero among them: the whole name comes back.
    insertRow(platform, 'len256', Buffer.alloc(256, 'u'), 256, secret);
    insertRow(platform, 'len257', Buffer.alloc(257, 'v'), 257, secret);

    const result = h.runAddon((addon) => ['len0', 'len256', 'len257'].map((s) => addon.arb_get_credentials(s)),
      { platform });
    assert.deepEqual(result.value, [
      { user_name: '', password: 'pw-base' },
      { user_name: 'u'.repeat(256), password: 'pw-base' },
      null,  // undefined inside an array
    ]);
    h.assertErrorLines(result, [
      ...h.readFailed('Invalid user Name length - 257'),
    ]);
  }));

  test('blobs under another label or with a ciphertext beyond 128 bytes fail to unprotect' + keys, { skip },
    withPlatform((platform) => {
      const base = h.runAddon((addon) => addon.arb_set_credentials('base', 'alice', 'pw-base'), { platform });
      assert.deepEqual(base.value, { status: 'OK' });
      const secret = storedSecret(platform, 'base');

      // The label follows the 32-byte header; one byte of it changed.
      const otherLabel = Buffer.from(secret);
      assert.equal(otherLabel.subarray(32, 46).toString(), 'ARB_Cred_Store');
      otherLabel[32] = 'X'.charCodeAt(0);
      insertRow(platform, 'other-label', Buffer.from('alice\0'), 6, otherLabel);

      // A header that announces 128 more ciphertext bytes, which are there:
      // the blob is well formed but its ciphertext exceeds the 128-byte room.
      const longCipher = Buffer.concat([secret, Buffer.alloc(128)]);
      longCipher.writeUInt32LE(secret.readUInt32LE(16) + 128, 16);
      assert.ok(longCipher.readUInt32LE(16) > 128);
      insertRow(platform, 'long-cipher', Buffer.from('alice\0'), 6, longCipher);

      const result = h.runAddon((addon) => [addon.arb_get_credentials('other-label'),
        addon.arb_get_credentials('long-cipher'), addon.arb_get_credentials('base')], { platform });
      assert.deepEqual(result.value, [null, null, { user_name: 'alice', password: 'pw-base' }]);
      h.assertErrorLines(result, [
        ...h.readFailed('Error while decrypting proxy password retrieved from ARB, Error: <-7>'),
        ...h.readFailed('Error while decrypting proxy password retrieved from ARB, Error: <-2>'),
      ]);
    }));

  // What the token is for: a platform root copied whole, PIN file and all,
  // opens nothing on a machine whose token is another, even one that holds
  // keys of its own; with the key file the copy carries the keys and opens
  // everything.
  test('a copy of the whole platform root ' + (token ? 'opens nothing under another token'
    : 'opens every credential: the key file travels with it') + keys, { skip }, withPlatform((first) => {
    const stored = h.runAddon((addon) => [addon.arb_set_credentials('svc-a', 'alice', 'pw-a'),
      addon.arb_set_credentials('svc-b', 'bob', 'pw-b')], { platform: first });
    assert.deepEqual(stored.value, [{ status: 'OK' }, { status: 'OK' }]);
    // The second machine: its own root and token, used once already; its
    // token takes the PIN that the copy brings.
    const second = h.createPlatform();
    try {
      if (token) {
        fs.copyFileSync(path.join(first, 'system', 'token.pin'), path.join(second, 'system', 'token.pin'));
        h.attachToken(second);
      }
      const own = h.runAddon((addon) => addon.arb_set_credentials('own', 'carol', 'pw-c'), { platform: second });
      assert.deepEqual(own.value, { status: 'OK' });
      for (const entry of fs.readdirSync(second)) {
        fs.rmSync(path.join(second, entry), { recursive: true, force: true });
      }
      const copy = spawnSync('cp', ['-a', `${first}/.`, second]);
      assert.equal(copy.status, 0, String(copy.stderr));
      const read = h.runAddon((addon) => ['svc-a', 'svc-b'].map((s) => addon.arb_get_credentials(s) || null)
        .concat([addon.arb_set_credentials('new', 'dave', 'pw-d') || null]), { platform: second });
      if (!token) {
        assert.deepEqual(read.value, [{ user_name: 'alice', password: 'pw-a' },
          { user_name: 'bob', password: 'pw-b' }, { status: 'OK' }]);
        return;
      }
      // Fails closed: nothing opens, nothing new is stored, and each
      // failure names its cause once.
      assert.deepEqual(read.value, [null, null, null]);
      h.assertErrorLines(read, [
        ...h.readFailed('Error while decrypting proxy password retrieved from ARB, Error: <-1448>'),
        ...h.readFailed('Error while decrypting proxy password retrieved from ARB, Error: <-1448>'),
        h.mfa('encryptCredential', 'Error while encrypting the data, Error: <-1448>'),
        h.mfa('arb_set_credentials', 'set_creds_in_arb failed'),
      ]);
      assert.equal(read.stderr.match(/^PEX2: token "kavo" has lost the machine key/gm).length, 3, read.stderr);
      assert.equal(fs.existsSync(path.join(second, 'system', 'xmgrcfg.ks0')), false);
    } finally {
      h.removePlatform(second);
    }
  }));
}
