'use strict';
// Damaged and hostile platform states, one row each, all driven by one
// runner: the runner makes a fresh platform root (provisioned under the
// row's creation mask, if any), lets the row damage it, runs the row's
// script in a sandboxed child and hands the result to the row's check.
//
// A row:
//   name      what state is built and what must happen
//   skip      optional reason why the row cannot run here
//   umask     optional octal string: provisioning and the child run under it
//   prepare   optional (root) => void: damages the fresh root from outside
//   script    optional (addon, kit, ...args) => value, run in the child; the
//             default stores one credential and reads it back.  It runs as
//             source in the child, so it sees only its arguments; kit holds
//             the child-side helpers below (childKit).
//   args      optional JSON arguments for the script
//   timeout   optional bound for the child in ms (default 30 s)
//   check     (result, root) => void: asserts on the child's result
//
// Every loop in a script is bounded in count, and every child in time.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./support/harness');

// ---- Child side -------------------------------------------------------------

// Helpers the scripts get as `kit`.  Sent to the child as source.
function childKit(require) {
  const { spawn } = require('node:child_process');
  const fs = require('node:fs');
  const root = '/etc/opt/zorvex';
  const keyStore = `${root}/system/xmgrcfg.ks0`;
  const database = `${root}/credstore.db`;
  // Further processes do not write into this child's syslog capture: each
  // has one of its own, whose messages node() hands back.
  let captures;
  let spawned = 0;

  // Runs `code` in a new Node.js process that sees the add-on as `addon`;
  // resolves with { code, signal, lines, syslog }: its stdout lines and the
  // messages it logged.  It is killed with SIGKILL killAfterMs after its
  // first line of output (so that a slow start takes nothing from the time
  // it has), and in any case after 20 s.
  function node(code, { killAfterMs } = {}) {
    if (captures === undefined) {
      captures = fs.mkdtempSync(`${require('node:os').tmpdir()}/kavo-reliability-`);
      process.on('exit', () => fs.rmSync(captures, { recursive: true, force: true }));
    }
    const capture = `${captures}/syslog-${spawned++}`;
    return new Promise((resolve) => {
      const child = spawn(process.execPath,
        ['-e', `const addon = require(process.env.KAVO_ADDON_PATH);\n${code}`],
        { env: { ...process.env, KAVO_SYSLOG_CAPTURE: capture }, stdio: ['ignore', 'pipe', 'inherit'] });
      let out = '';
      let killer;
      child.stdout.on('data', (data) => {
        if (out === '' && killAfterMs !== undefined) {
          killer = setTimeout(() => child.kill('SIGKILL'), killAfterMs);
        }
        out += data;
      });
      const guard = setTimeout(() => child.kill('SIGKILL'), 20000);
      child.on('close', (code, signal) => {
        clearTimeout(killer);
        clearTimeout(guard);
        // Records are "<priority> <length>\n<message>\n"; the messages are
        // what a check needs.
        const records = fs.existsSync(capture) ? fs.readFileSync(capture, 'utf8') : '';
        fs.rmSync(capture, { force: true });
        const syslog = records.split('\n').filter((line) => line.startsWith('MFA-NAPI:'));
        resolve({ code, signal, lines: out.split('\n').filter((line) => line !== ''), syslog });
      });
    });
  }

  // Back to a platform on which nothing was used yet, or only the machine
  // keys made (keepKeys).
  function fresh({ keepKeys = false } = {}) {
    for (const file of [keepKeys ? null : keyStore, database, `${database}-wal`, `${database}-shm`]) {
      if (file) {
        fs.rmSync(file, { force: true });
      }
    }
  }

  function mode(file) {
    return fs.lstatSync(file).mode & 0o7777;
  }

  return { node, fresh, mode, fs, root, keyStore, database };
}

// The default script: one store, one read.
function storeAndRead(addon) {
  return {
    set: addon.arb_set_credentials('svc', 'user', 'secret'),
    get: addon.arb_get_credentials('svc'),
  };
}

// ---- Parent side ------------------------------------------------------------

function mkfifo(file) {
  const run = spawnSync('mkfifo', ['-m', '0600', file]);
  assert.equal(run.status, 0, `mkfifo ${file} failed`);
}

function lstatKind(file) {
  const info = fs.lstatSync(file);
  return info.isSymbolicLink() ? 'link' : info.isFIFO() ? 'fifo' : info.isFile() ? 'file' : 'other';
}

// Both calls failed the way the module fails: undefined, without throwing.
function assertRefused(result) {
  assert.equal(result.type, 'object', result.error || result.stderr);
  assert.deepEqual(result.value, {}, `expected both calls to fail: ${JSON.stringify(result.value)}`);
}

function assertRefusedWithoutKeys(result, root) {
  assertRefused(result);
  assert.equal(fs.existsSync(path.join(root, 'system', 'xmgrcfg.ks0')), false);
}

// What a row that kills a child process `kills` times shares: the count,
// which its script receives as { kills }, and the long time-out it needs.
function killRounds(kills) {
  return { args: [{ kills }], timeout: 90000 };
}

// Every mode the platform sets, under the creation mask `mask`.
function modesRow(mask) {
  return {
    name: `umask ${mask}: every platform file gets its own mode, the credential files 0600`,
    umask: mask,
    script: (addon, kit) => {
      const stored = addon.arb_set_credentials('svc', 'user', 'secret');
      // The store keeps its connection open, so -wal and -shm exist now.
      const files = ['.', 'vesk64.cfg', 'system', 'users', 'credstore.db', 'credstore.db-wal',
        'credstore.db-shm'];
      return { stored, modes: Object.fromEntries(files.map((f) => [f, kit.mode(`${kit.root}/${f}`)])) };
    },
    check(result) {
      assert.equal(result.type, 'object', result.error || result.stderr);
      assert.deepEqual(result.value.stored, { status: 'OK' });
      assert.deepEqual(result.value.modes, {
        '.': 0o755,
        'vesk64.cfg': 0o644,
        system: 0o700,
        users: 0o755,
        'credstore.db': 0o600,
        'credstore.db-wal': 0o600,
        'credstore.db-shm': 0o600,
      });
    },
  };
}

const rows = [
  modesRow('000'),
  modesRow('077'),

  {
    name: 'key store is a link to /dev/null: every call fails, the link stays',
    prepare: (root) => fs.symlinkSync('/dev/null', path.join(root, 'system', 'xmgrcfg.ks0')),
    check(result, root) {
      assertRefused(result);
      assert.equal(lstatKind(path.join(root, 'system', 'xmgrcfg.ks0')), 'link');
    },
  },

  {
    name: 'key store is a FIFO: every call fails at once, the FIFO stays',
    prepare: (root) => mkfifo(path.join(root, 'system', 'xmgrcfg.ks0')),
    timeout: 15000,
    check(result, root) {
      assertRefused(result);
      assert.equal(lstatKind(path.join(root, 'system', 'xmgrcfg.ks0')), 'fifo');
    },
  },

  {
    name: 'key store emptied or cut short: never rewritten, calls fail until it is repaired',
    script: (addon, kit) => {
      const stored = addon.arb_set_credentials('svc', 'user', 'secret');
      const good = kit.fs.readFileSync(kit.keyStore);
      const damaged = [Buffer.alloc(0), good.subarray(0, 60)].map((bytes) => {
        kit.fs.writeFileSync(kit.keyStore, bytes);
        const outcome = {
          set: addon.arb_set_credentials('other', 'user', 'secret'),
          get: addon.arb_get_credentials('svc'),
        };
        return { ...outcome, unchanged: kit.fs.readFileSync(kit.keyStore).equals(bytes) };
      });
      kit.fs.writeFileSync(kit.keyStore, good);
      return { stored, damaged, repaired: addon.arb_get_credentials('svc') };
    },
    check(result) {
      assert.equal(result.type, 'object', result.error || result.stderr);
      assert.deepEqual(result.value, {
        stored: { status: 'OK' },
        damaged: [{ unchanged: true }, { unchanged: true }],
        repaired: { user_name: 'user', password: 'secret' },
      });
    },
  },

  {
    name: 'key-store directory writable by others: calls fail, no keys made',
    prepare: (root) => fs.chmodSync(path.join(root, 'system'), 0o777),
    check: assertRefusedWithoutKeys,
  },

  {
    name: 'key-store directory owned by another user: calls fail, no keys made',
    skip: process.getuid() !== 0 && 'giving the directory to another user needs root',
    prepare: (root) => fs.chownSync(path.join(root, 'system'), 4242, -1),
    check: assertRefusedWithoutKeys,
  },

  {
    name: 'credential database is a FIFO: every call fails at once with its own status, the FIFO stays',
    prepare: (root) => mkfifo(path.join(root, 'credstore.db')),
    timeout: 15000,
    check(result, root) {
      assertRefused(result);
      assert.equal(lstatKind(path.join(root, 'credstore.db')), 'fifo');
      const logged = h.calls(result).map((r) => r.message).join('\n');
      assert.match(logged, /Error in setting credential for service svc errorCode -827 /);
      assert.match(logged, /Error in retrieving credentials for <svc> from ARB, Error - <-827>/);
    },
  },

  {
    name: 'configuration file is a FIFO: every call fails at once, the FIFO stays',
    prepare: (root) => {
      fs.rmSync(path.join(root, 'vesk64.cfg'));
      mkfifo(path.join(root, 'vesk64.cfg'));
    },
    timeout: 15000,
    check(result, root) {
      assertRefused(result);
      assert.equal(lstatKind(path.join(root, 'vesk64.cfg')), 'fifo');
    },
  },

  {
    name: 'trace file planted as a link: nothing is written through it; a regular trace file is',
    prepare: (root) => {
      const config = path.join(root, 'vesk64.cfg');
      fs.writeFileSync(config, fs.readFileSync(config, 'utf8').replace(/^Trace:.*$/m, 'Trace:b:4:00:00:00:01'));
      fs.writeFileSync(path.join(root, 'victim'), 'victim\n');
      fs.symlinkSync('/etc/opt/zorvex/victim', path.join(root, 'vesk.log'));
    },
    script: (addon, kit) => {
      const linked = { set: addon.arb_set_credentials('svc', 'user', 'secret'), get: addon.arb_get_credentials('svc') };
      kit.fs.rmSync(`${kit.root}/vesk.log`);
      kit.fs.writeFileSync(`${kit.root}/vesk.log`, '');
      addon.arb_get_credentials('svc');
      return { linked, traced: kit.fs.statSync(`${kit.root}/vesk.log`).size > 0 };
    },
    check(result, root) {
      assert.equal(result.type, 'object', result.error || result.stderr);
      assert.deepEqual(result.value.linked, { set: { status: 'OK' }, get: { user_name: 'user', password: 'secret' } });
      assert.equal(fs.readFileSync(path.join(root, 'victim'), 'utf8'), 'victim\n');
      assert.equal(result.value.traced, true, 'tracing is on, so a regular trace file gets lines');
    },
  },

  {
    name: 'first use by several processes at once, several rounds: every store and read succeeds',
    args: [{ rounds: 4, processes: 8 }],
    timeout: 90000,
    script: async (addon, kit, { rounds, processes }) => {
      const failures = [];
      for (let round = 0; round < rounds; round++) {
        // Every other round the machine keys exist already, so that nothing
        // spreads the processes out before they reach the new database.
        kit.fresh({ keepKeys: round % 2 === 1 });
        // Every process loads the add-on, then waits for the same moment to
        // make its first call, so the first uses truly overlap.
        const startAt = Date.now() + 1000 + 150 * processes;
        const runs = await Promise.all(Array.from({ length: processes }, (_, i) => kit.node(`
          const wait = ${startAt} - Date.now();
          if (wait > 0) Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, wait);
          const name = 'svc-${round}-${i}';
          // A read first: it reaches the database before any cryptography.
          const missing = addon.arb_get_credentials(name);
          const set = addon.arb_set_credentials(name, name, 'pw-' + name);
          const get = addon.arb_get_credentials(name);
          console.log(JSON.stringify({ missing, set, get }));`)));
        runs.forEach((run, i) => {
          const name = `svc-${round}-${i}`;
          const expected = JSON.stringify({ set: { status: 'OK' }, get: { user_name: name, password: `pw-${name}` } });
          // The first read may only find nothing.
          const logged = run.syslog.filter((line) => !line.includes(`Service entry <${name}> not found`) &&
            !line.includes('load_creds_from_arb failed') && !line.includes('napi have been initialised'));
          if (run.code !== 0 || run.lines[0] !== expected || logged.length !== 0) {
            failures.push({ round, i, code: run.code, lines: run.lines, logged });
          }
        });
      }
      return failures;
    },
    check(result) {
      assert.equal(result.type, 'object', result.error || result.stderr);
      assert.deepEqual(result.value, []);
    },
  },

  {
    name: 'kill -9 during provisioning: the key store is then missing or whole, and works',
    ...killRounds(10),
    script: async (addon, kit, { kills }) => {
      const outcomes = [];
      for (let k = 0; k < kills; k++) {
        kit.fresh();
        // Provisions over and over, killed at a moment that moves from kill
        // to kill: the store is removed before every read, which opens a
        // session (and fails to unwrap under the new keys) with little else
        // to do, so most of the time goes to provisioning.
        const run = await kit.node(`
          const fs = require('node:fs');
          addon.arb_set_credentials('svc', 'user', 'pw');
          console.log('ready');
          for (let i = 0; i < 100000; i++) {
            fs.rmSync('${kit.keyStore}', { force: true });
            addon.arb_get_credentials('svc');
          }`, { killAfterMs: 5 + 23 * k });
        const size = kit.fs.existsSync(kit.keyStore) ? kit.fs.statSync(kit.keyStore).size : null;
        const set = addon.arb_set_credentials(`after-${k}`, 'user', `pw-${k}`);
        const get = addon.arb_get_credentials(`after-${k}`);
        outcomes.push({ signal: run.signal, size, set, get });
      }
      return outcomes;
    },
    check(result) {
      assert.equal(result.type, 'object', result.error || result.stderr);
      result.value.forEach((outcome, k) => {
        assert.deepEqual(outcome, {
          signal: 'SIGKILL',
          size: outcome.size === null ? null : 116,
          set: { status: 'OK' },
          get: { user_name: 'user', password: `pw-${k}` },
        }, `kill ${k}`);
      });
    },
  },

  {
    name: 'kill -9 during stores: every credential reported stored reads back intact',
    ...killRounds(6),
    script: async (addon, kit, { kills }) => {
      const acknowledged = [];
      for (let k = 0; k < kills; k++) {
        // Each acknowledged store is printed before the next one starts.
        const run = await kit.node(`
          console.log('ready');
          for (let i = 0; i < 100000; i++) {
            const name = 'svc-${k}-' + i;
            const set = addon.arb_set_credentials(name, 'user-' + name, 'pw-' + name);
            if (!set) process.exit(3);
            console.log(name);
          }`, { killAfterMs: 20 + 61 * k });
        acknowledged.push(...run.lines.slice(1));
        if (run.signal !== 'SIGKILL') {
          return { error: `writer ${k} ended with ${run.code}` };
        }
      }
      const wrong = acknowledged.filter((name) => {
        const got = addon.arb_get_credentials(name);
        return !got || got.user_name !== `user-${name}` || got.password !== `pw-${name}`;
      });
      return { acknowledged: acknowledged.length, wrong };
    },
    check(result) {
      assert.equal(result.type, 'object', result.error || result.stderr);
      assert.equal(result.value.error, undefined);
      assert.ok(result.value.acknowledged > 0, 'no store finished before the kills');
      assert.deepEqual(result.value.wrong, []);
    },
  },
];

// ---- The runner -------------------------------------------------------------

for (const row of rows) {
  const timeout = row.timeout || 30000;
  test(row.name, { skip: h.skipReason || row.skip, timeout: timeout + 30000 }, () => {
    const root = h.createPlatform({ umask: row.umask });
    try {
      if (row.prepare) {
        row.prepare(root);
      }
      const body = (row.umask ? `process.umask(0o${row.umask});\n` : '') +
        `const kit = (${childKit})(require);\n` +
        `return (${row.script || storeAndRead})(addon, kit, ...args);`;
      const result = h.runAddon(body, { platform: root, args: row.args || [], timeout });
      row.check(result, root);
    } finally {
      h.removePlatform(root);
    }
  });
}
