#!/usr/bin/env node
'use strict';
// arb_get_credentials and arb_set_credentials against a reference that does
// the same work the way a Node.js service would with node:crypto and
// better-sqlite3:
//   - one connection for the life of the process, prepared statements,
//     the credential store's schema, journal_mode=WAL and synchronous=FULL
//     (every store is synced before it returns);
//   - a 256-bit machine key read once from a file in the reference's folder;
//   - per secret a fresh AES-128-CBC content key and IV, the content key
//     wrapped with AES-256-CBC (fresh IV) under the machine key, in a blob
//     with the layout the module stores (header, label, wrapped key, IV,
//     ciphertext); a read checks the header and label, unwraps and decrypts.
// The module side opens and closes its cryptographic session on every call.
//
//   bench/js/credentials.js [options of bench/js/run]
//
// Both stores hold the same rows: 64 credentials written through each
// side's own set call, which the timed calls read and rewrite in turn, and
// fillers (same names, user names and blob sizes) up to 1,000 or 100,000.
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const harness = require('./harness');

const SCHEMA = 'CREATE TABLE IF NOT EXISTS credentials (' +
  ' service BLOB PRIMARY KEY NOT NULL, user_name BLOB, user_name_length INTEGER NOT NULL,' +
  ' secret BLOB, secret_length INTEGER NOT NULL)';
// The credentials an application reads: a handful of service accounts, which
// stay in SQLite's page cache whatever the size of the store.
const BENCH_SERVICES = 64;
const LABEL = Buffer.from('ARB_Cred_Store');
const HEADER = 32;
const IV = 16;
const MAGIC = 0xa12b;

function openDatabase(file) {
  let Database;
  try {
    Database = require('better-sqlite3');
  } catch (error) {
    throw new Error(`better-sqlite3 is not installed (npm install in the repository): ${error.message}`);
  }
  if (!fs.existsSync(file)) fs.closeSync(fs.openSync(file, 'wx', 0o600));
  const db = new Database(file, { timeout: 10000 });
  db.pragma('journal_mode = WAL');
  db.pragma('synchronous = FULL');
  db.exec(SCHEMA);
  return db;
}

class ReferenceStore {
  constructor(directory) {
    const keyFile = path.join(directory, 'machine.key');
    if (!fs.existsSync(keyFile)) fs.writeFileSync(keyFile, crypto.randomBytes(32), { mode: 0o600, flag: 'wx' });
    this.machineKey = fs.readFileSync(keyFile);
    this.db = openDatabase(path.join(directory, 'credstore.db'));
    this.insert = this.db.prepare('INSERT OR REPLACE INTO credentials VALUES (?, ?, ?, ?, ?)');
    this.select = this.db.prepare('SELECT user_name, user_name_length, secret, secret_length' +
      ' FROM credentials WHERE service = ?');
  }

  protect(secret) {
    const contentKey = crypto.randomBytes(16);
    const wrapIv = crypto.randomBytes(IV);
    const wrap = crypto.createCipheriv('aes-256-cbc', this.machineKey, wrapIv);
    const wrapped = Buffer.concat([wrapIv, wrap.update(contentKey), wrap.final()]);
    const iv = crypto.randomBytes(IV);
    const cipher = crypto.createCipheriv('aes-128-cbc', contentKey, iv);
    const body = Buffer.concat([cipher.update(secret), cipher.final()]);
    contentKey.fill(0);
    const header = Buffer.alloc(HEADER);
    [MAGIC, 1, LABEL.length, wrapped.length, body.length, IV, 1, 1]
      .forEach((field, i) => header.writeUInt32LE(field, 4 * i));
    return Buffer.concat([header, LABEL, wrapped, iv, body]);
  }

  unprotect(blob) {
    if (blob.length < HEADER || blob.readUInt32LE(0) !== MAGIC || blob.readUInt32LE(4) !== 1 ||
        blob.readUInt32LE(8) !== LABEL.length || !blob.subarray(HEADER, HEADER + LABEL.length).equals(LABEL)) {
      throw new Error('not a protected secret');
    }
    const wrappedLength = blob.readUInt32LE(12);
    const bodyLength = blob.readUInt32LE(16);
    const wrapped = HEADER + LABEL.length;
    const iv = wrapped + wrappedLength;
    if (iv + IV + bodyLength > blob.length || wrappedLength < IV) throw new Error('truncated protected secret');
    const unwrap = crypto.createDecipheriv('aes-256-cbc', this.machineKey, blob.subarray(wrapped, wrapped + IV));
    const contentKey = Buffer.concat([unwrap.update(blob.subarray(wrapped + IV, iv)), unwrap.final()]);
    const decipher = crypto.createDecipheriv('aes-128-cbc', contentKey, blob.subarray(iv, iv + IV));
    const plain = Buffer.concat([decipher.update(blob.subarray(iv + IV, iv + IV + bodyLength)), decipher.final()]);
    contentKey.fill(0);
    return plain;
  }

  set(service, userName, password) {
    const user = Buffer.from(`${userName}\0`, 'utf8');
    const secret = this.protect(Buffer.from(`${password}\0`, 'utf8'));
    this.insert.run(Buffer.from(service, 'utf8'), user, user.length, secret, secret.length);
    return { status: 'OK' };
  }

  get(service) {
    const row = this.select.get(Buffer.from(service, 'utf8'));
    if (row === undefined || row.user_name_length > row.user_name.length ||
        row.secret_length > row.secret.length) return undefined;
    return {
      user_name: upToZero(row.user_name.subarray(0, row.user_name_length)),
      password: upToZero(this.unprotect(row.secret.subarray(0, row.secret_length))),
    };
  }
}

function upToZero(bytes) {
  const end = bytes.indexOf(0);
  return bytes.subarray(0, end < 0 ? bytes.length : end).toString('utf8');
}

const serviceName = (i) => `service-${String(i).padStart(6, '0')}`;
const userName = (i) => `user-${i}`;
const password = (i) => `password-${i}-${'p'.repeat(i % 24)}`;

// Writes the fillers, rows identical for both stores; blobs of the size the
// module writes for a short password, never read back.
function fillers(stored, bench) {
  const rows = [];
  for (let i = 0; i < stored; i++) {
    if (bench.has(i)) continue;
    const user = Buffer.from(`${userName(i)}\0`);
    rows.push([Buffer.from(serviceName(i)), user, user.length, crypto.randomBytes(142), 142]);
  }
  return rows;
}

function fill(file, rows) {
  const db = openDatabase(file);
  const insert = db.prepare('INSERT OR REPLACE INTO credentials VALUES (?, ?, ?, ?, ?)');
  db.transaction(() => rows.forEach((row) => insert.run(...row)))();
  db.pragma('wal_checkpoint(TRUNCATE)');
  db.close();
}

async function setup({ stored, entry }, dirs) {
  // The stored credentials the timed calls use, spread over the names.
  const bench = [];
  for (let k = 0; k < BENCH_SERVICES; k++) bench.push(Math.floor((k * stored) / BENCH_SERVICES));
  const rows = fillers(stored, new Set(bench));
  // The module's store is filled before the simulator first opens it, so
  // that no two SQLite libraries in this process share a database file.
  fill(path.join(dirs.root, 'credstore.db'), rows);
  const referenceFile = path.join(dirs.reference, 'credstore.db');
  fill(referenceFile, rows);

  const addon = require(require('../../tools/lib/platform').paths.addon);
  const reference = new ReferenceStore(dirs.reference);
  for (const i of bench) {
    const module = addon.arb_set_credentials(serviceName(i), userName(i), password(i));
    if (module === undefined) throw new Error('arb_set_credentials failed (see the system log)');
    reference.set(serviceName(i), userName(i), password(i));
  }
  const pick = (k) => bench[k % bench.length];
  // The package entry, which loads the add-on at its first call and passes
  // every call on to it, against the add-on's own function.
  const packageEntry = require('../../index.js');
  const entryCase = {
    module: (k) => packageEntry.arb_get_credentials(serviceName(pick(k))),
    reference: (k) => addon.arb_get_credentials(serviceName(pick(k))),
  };
  return {
    cases: {
      ...(entry ? { entry: entryCase } : {}),
      get: {
        module: (k) => addon.arb_get_credentials(serviceName(pick(k))),
        reference: (k) => reference.get(serviceName(pick(k))),
      },
      set: {
        module: (k) => addon.arb_set_credentials(serviceName(pick(k)), userName(pick(k)), password(pick(k))),
        reference: (k) => reference.set(serviceName(pick(k)), userName(pick(k)), password(pick(k))),
      },
    },
    // Every stored credential reads back right from both sides, so neither
    // is timed doing less.
    verify() {
      for (const i of bench) {
        const expected = JSON.stringify({ user_name: userName(i), password: password(i) });
        for (const [side, got] of [['module', addon.arb_get_credentials(serviceName(i))],
          ['reference', reference.get(serviceName(i))]]) {
          if (JSON.stringify(got) !== expected) throw new Error(`${side} read ${JSON.stringify(got)}, not ${expected}`);
        }
      }
    },
    info: { stored: rows.length + bench.length },
    close: () => reference.db.close(),
  };
}

// The same worker with the machine keys in a SoftHSM2 token of its own,
// beside the root (tools/softhsm-token): the module's cost of keeping the
// keys in a token, against the file's, in the same run.
function withToken(root) {
  const tool = path.join(__dirname, '..', '..', 'tools', 'softhsm-token');
  const run = spawnSync(tool, [path.join(path.dirname(root), 'token'), root], { encoding: 'utf8' });
  if (run.status !== 0) throw new Error(`softhsm-token failed: ${run.stderr}`);
  const [name, value] = run.stdout.trim().split(/=(.*)/s);
  return { [name]: value };
}

const small = 1000;
const large = harness.quick ? 10000 : 100000;
const count = (n) => n.toLocaleString('en-US');

const suite = {
  name: 'credentials',
  file: __filename,
  workers: [
    { id: 'credentials-small', args: { stored: small, entry: true } },
    { id: 'credentials-large', args: { stored: large } },
    { id: 'credentials-token', args: { stored: small }, prepare: withToken },
  ],
  setup,
  rows: [
    { label: `arb_get_credentials, ${count(small)} stored`, kind: 'ratio', target: 0.9,
      measured: ['credentials-small', 'get', 'module'], against: ['credentials-small', 'get', 'reference'] },
    { label: `arb_set_credentials, ${count(small)} stored`, kind: 'ratio', target: 1.1,
      measured: ['credentials-small', 'set', 'module'], against: ['credentials-small', 'set', 'reference'] },
    { label: `arb_get_credentials, ${count(large)} stored`, kind: 'ratio',
      measured: ['credentials-large', 'get', 'module'], against: ['credentials-large', 'get', 'reference'] },
    { label: `arb_get_credentials, module, ${count(large)} / ${count(small)} stored`, kind: 'scale', target: 1.3,
      measured: ['credentials-large', 'get', 'module'], against: ['credentials-small', 'get', 'module'] },
    { label: `arb_get_credentials, reference, ${count(large)} / ${count(small)} stored`, kind: 'scale',
      measured: ['credentials-large', 'get', 'reference'], against: ['credentials-small', 'get', 'reference'] },
    { label: `arb_get_credentials, module, ${count(small)} stored`,
      kind: 'keys', target: 4,
      measured: ['credentials-token', 'get', 'module'], against: ['credentials-small', 'get', 'module'] },
    { label: `arb_set_credentials, module, ${count(small)} stored`,
      kind: 'keys', target: 1.3,
      measured: ['credentials-token', 'set', 'module'], against: ['credentials-small', 'set', 'module'] },
    // "module" is the call through the package entry, "reference" the same
    // call on the add-on itself.
    { label: `arb_get_credentials, package entry / add-on, ${count(small)} stored`, kind: 'ratio', target: 1.02,
      measured: ['credentials-small', 'entry', 'module'], against: ['credentials-small', 'entry', 'reference'] },
  ],
};

module.exports = suite;

if (require.main === module) harness.main([suite]);
