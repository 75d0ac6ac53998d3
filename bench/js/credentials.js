#!/usr/bin/env node
'use strict';
// Benchmark of arb_set_credentials and arb_get_credentials against a
// pure-JavaScript reference that does the same work with what a Node.js
// developer would use: node:crypto for a fresh AES-128-CBC content key per
// password, wrapped (AES key wrap) under a machine key kept in a file, and
// better-sqlite3 for the store, with the credential store's schema and
// pragmas (WAL, synchronous=FULL).
//
//   bench/js/credentials.js [--ops N] [--reps R] [--build DIR]
//
// Runs itself inside a fresh platform sandbox (tools/with-platform).  Each
// repetition times N calls of the module, then N calls of the reference, so
// both see the same machine load; the table gives the median time per call
// and the ratio module / reference.
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const repo = path.resolve(__dirname, '..', '..');
const SKIPPED = 77;
const TARGET_RATIO = 2;

function parseArgs(argv) {
  const options = { ops: 200, reps: 7, build: process.env.KAVO_BUILD_DIR || path.join(repo, 'build') };
  for (let i = 0; i < argv.length; i++) {
    const value = () => argv[++i];
    if (argv[i] === '--ops') options.ops = Number(value());
    else if (argv[i] === '--reps') options.reps = Number(value());
    else if (argv[i] === '--build') options.build = path.resolve(value());
    else if (argv[i] === '--inner') options.inner = true;
    else {
      console.error('usage: bench/js/credentials.js [--ops N] [--reps R] [--build DIR]');
      process.exit(2);
    }
  }
  if (!(options.ops > 0 && options.reps > 0)) {
    console.error('--ops and --reps must be positive');
    process.exit(2);
  }
  return options;
}

// ---- The reference -----------------------------------------------------------

const SCHEMA = 'CREATE TABLE IF NOT EXISTS credentials (' +
  ' service BLOB PRIMARY KEY NOT NULL, user_name BLOB, user_name_length INTEGER NOT NULL,' +
  ' secret BLOB, secret_length INTEGER NOT NULL)';

// One connection and one machine key for the life of the process, as a
// long-running service would keep them.
class ReferenceStore {
  constructor(directory) {
    let Database;
    try {
      Database = require('better-sqlite3');
    } catch (error) {
      throw new Error(`better-sqlite3 is not installed (npm install in the repository): ${error.message}`);
    }
    fs.mkdirSync(directory, { recursive: true, mode: 0o700 });
    const keyFile = path.join(directory, 'machine.key');
    if (!fs.existsSync(keyFile)) {
      fs.writeFileSync(keyFile, crypto.randomBytes(16), { mode: 0o600, flag: 'wx' });
    }
    this.machineKey = fs.readFileSync(keyFile);
    this.db = new Database(path.join(directory, 'credstore.db'), { timeout: 10000 });
    this.db.pragma('journal_mode = WAL');
    this.db.pragma('synchronous = FULL');
    this.db.exec(SCHEMA);
    this.insert = this.db.prepare('INSERT OR REPLACE INTO credentials VALUES (?, ?, ?, ?, ?)');
    this.select = this.db.prepare('SELECT user_name, secret FROM credentials WHERE service = ?');
  }

  // Blob: the wrapped content key (24 bytes), the IV (16), the ciphertext.
  protect(password) {
    const contentKey = crypto.randomBytes(16);
    const iv = crypto.randomBytes(16);
    const wrap = crypto.createCipheriv('id-aes128-wrap', this.machineKey, Buffer.from('A6A6A6A6A6A6A6A6', 'hex'));
    const wrapped = Buffer.concat([wrap.update(contentKey), wrap.final()]);
    const cipher = crypto.createCipheriv('aes-128-cbc', contentKey, iv);
    const body = Buffer.concat([cipher.update(Buffer.from(`${password}\0`, 'utf8')), cipher.final()]);
    contentKey.fill(0);
    return Buffer.concat([wrapped, iv, body]);
  }

  unprotect(blob) {
    const unwrap = crypto.createDecipheriv('id-aes128-wrap', this.machineKey, Buffer.from('A6A6A6A6A6A6A6A6', 'hex'));
    const contentKey = Buffer.concat([unwrap.update(blob.subarray(0, 24)), unwrap.final()]);
    const decipher = crypto.createDecipheriv('aes-128-cbc', contentKey, blob.subarray(24, 40));
    const plain = Buffer.concat([decipher.update(blob.subarray(40)), decipher.final()]);
    contentKey.fill(0);
    const end = plain.indexOf(0);
    return plain.subarray(0, end < 0 ? plain.length : end).toString('utf8');
  }

  set(service, userName, password) {
    const user = Buffer.from(`${userName}\0`, 'utf8');
    const secret = this.protect(password);
    this.insert.run(Buffer.from(service, 'utf8'), user, user.length, secret, secret.length);
    return { status: 'OK' };
  }

  get(service) {
    const row = this.select.get(Buffer.from(service, 'utf8'));
    if (row === undefined) return undefined;
    const end = row.user_name.indexOf(0);
    return {
      user_name: row.user_name.subarray(0, end < 0 ? row.user_name.length : end).toString('utf8'),
      password: this.unprotect(row.secret),
    };
  }
}

// ---- Timing ---------------------------------------------------------------------

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

// Microseconds per call of fn over n calls.
function time(n, fn) {
  const start = process.hrtime.bigint();
  for (let i = 0; i < n; i++) fn(i);
  return Number(process.hrtime.bigint() - start) / 1000 / n;
}

function runInner(options) {
  const addon = require(process.env.KAVO_ADDON_PATH);
  const reference = new ReferenceStore(path.join(process.env.KAVO_BENCH_WORK, 'reference'));
  const password = (i) => `bench-password-${i}-${'p'.repeat(i % 40)}`;
  const services = 16;

  // Both sides hold the same rows before the read is timed, and every
  // result is checked once, so neither side is timed doing less.
  for (let i = 0; i < services; i++) {
    const expected = { user_name: `user-${i}`, password: password(i) };
    for (const [name, side] of [['module', addon.arb_set_credentials], ['reference', reference.set.bind(reference)]]) {
      side(`bench-${i}`, `user-${i}`, password(i));
      const got = name === 'module' ? addon.arb_get_credentials(`bench-${i}`) : reference.get(`bench-${i}`);
      if (JSON.stringify(got) !== JSON.stringify(expected)) {
        throw new Error(`${name} returned ${JSON.stringify(got)} for ${JSON.stringify(expected)}`);
      }
    }
  }

  const cases = {
    arb_set_credentials: {
      module: (i) => addon.arb_set_credentials(`bench-${i % services}`, `user-${i % services}`, password(i % services)),
      reference: (i) => reference.set(`bench-${i % services}`, `user-${i % services}`, password(i % services)),
    },
    arb_get_credentials: {
      module: (i) => addon.arb_get_credentials(`bench-${i % services}`),
      reference: (i) => reference.get(`bench-${i % services}`),
    },
  };
  const rows = [];
  for (const [name, sides] of Object.entries(cases)) {
    // One untimed warm-up batch each.
    time(Math.min(options.ops, 20), sides.module);
    time(Math.min(options.ops, 20), sides.reference);
    const module = [];
    const reference_ = [];
    for (let rep = 0; rep < options.reps; rep++) {
      module.push(time(options.ops, sides.module));
      reference_.push(time(options.ops, sides.reference));
    }
    rows.push({ name, module: median(module), reference: median(reference_) });
  }

  console.log(`${options.reps} repetitions of ${options.ops} calls; median microseconds per call`);
  console.log(`${'function'.padEnd(22)}${'module'.padStart(12)}${'reference'.padStart(12)}${'ratio'.padStart(9)}`);
  let missed = false;
  for (const row of rows) {
    const ratio = row.module / row.reference;
    missed = missed || ratio > TARGET_RATIO;
    console.log(`${row.name.padEnd(22)}${row.module.toFixed(1).padStart(12)}${row.reference.toFixed(1).padStart(12)}` +
      `${ratio.toFixed(2).padStart(9)}`);
  }
  console.log(missed ? `target missed: a ratio above ${TARGET_RATIO}` : `every ratio within the target of ${TARGET_RATIO}`);
}

function main() {
  const options = parseArgs(process.argv.slice(2));
  if (options.inner) {
    runInner(options);
    return;
  }
  const addonPath = path.join(options.build, 'Release', 'kavoInterface.node');
  if (!fs.existsSync(addonPath)) {
    console.error(`${addonPath} not found; build first (tools/build) or pass --build DIR`);
    process.exit(1);
  }
  // The root (module side) and the reference's files live in one temporary
  // directory on the same file system, so both pay the same for a sync.
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kavo-bench-'));
  try {
    const root = path.join(work, 'platform');
    const run = spawnSync(path.join(repo, 'tools', 'with-platform'), [root, '--', '/usr/bin/env',
      `KAVO_ADDON_PATH=${addonPath}`, `KAVO_BENCH_WORK=${work}`,
      process.execPath, __filename, '--inner', '--ops', String(options.ops), '--reps', String(options.reps)],
    { stdio: 'inherit' });
    if (run.status === SKIPPED) console.error('the platform sandbox is not available');
    process.exitCode = run.status === null ? 1 : run.status;
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main();
