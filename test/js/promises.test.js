'use strict';
// kavo-interface/promises and kavo-interface/strict against the real module,
// its companion and the simulators, each run in a sandboxed child
// (support/harness.js).
const assert = require('node:assert/strict');
const path = require('node:path');
const { test, before, after } = require('node:test');
const h = require('./support/harness');

const skip = h.skipReason;
const PROMISES = path.join(h.paths.repo, 'promises.js');
const STRICT = path.join(h.paths.repo, 'strict.js');
const ALICE_SID = 'S-1-5-21-3623811015-3361044348-30300820-1013';
const MANY = 300;  // SEV entries of the user "many": a long lookup
// 300 bytes, in two long RDNs (the mdb back end limits one RDN's length).
const LONG_DN = `cn=${'x'.repeat(146)},ou=${'y'.repeat(140)},o=corp`;
let platform;

before(() => {
  if (skip) return;
  const entries = Array.from({ length: MANY }, (_, i) => ['add-entry', `cn=g${i},o=corp`]);
  platform = h.createPlatform({
    directory: [
      ...entries,
      ['add-user', 'alice', 'cn=alice,o=corp', ALICE_SID],
      ['add-user', 'many', 'cn=many,o=corp', 'S-1-5-21-1-2-3-2000'],
      ['add-user', 'empty', 'cn=empty,o=corp', 'S-1-5-21-1-2-3-2001'],
      ['add-user', 'broken', 'cn=broken,o=corp', 'S-1-5-21-1-2-3-2002'],
      ['add-entry', LONG_DN],
      ['add-user', 'longdn', 'cn=longdn,o=corp', 'S-1-5-21-1-2-3-2003'],
      ['set-sev', 'longdn', LONG_DN],
      ['set-sev', 'alice', 'cn=g1,o=corp', 'cn=g0,o=corp'],
      ['set-sev', 'many', ...entries.map(([, dn]) => dn)],
      ['set-sev', 'broken', 'cn=g0,o=corp', 'guid:00112233445566778899aabbccddeeff'],
    ],
  });
});
after(() => platform && h.removePlatform(platform));

// Runs `script(addon, promises, ...args)` in a child; returns the harness's
// result after checking that the script itself did not throw.
function runPromises(script, { args = [], env } = {}) {
  const body = `const promises = require(args[0]); return (${script.toString()})(addon, promises, ...args.slice(1));`;
  const run = h.runAddon(body, { platform, args: [PROMISES, ...args], env });
  assert.equal(run.error, undefined, `${run.error}\n${run.stderr}`);
  return run;
}

// ---- Results, log lines and error codes -----------------------------------

// Every call is made synchronously first, then through its Promise, then
// through the strict API, in the same order: each third of the log must
// repeat the first exactly.
const CALLS = [
  ['arb_set_credentials', 'svc-a', 'alice', 'pw-a'],
  ['arb_get_credentials', 'svc-a'],
  ['arb_set_credentials', 'svc-b', 'b\u00fcb', 'p'.repeat(126)],
  ['arb_get_credentials', 'svc-b'],
  ['arb_get_credentials', 'never'],
  ['arb_get_credentials', 'n'.repeat(300)],
  ['arb_set_credentials', 'svc-c', '', 'pw'],
  ['arb_set_credentials', 'a\0b', 'u', 'p'],
  ['arb_get_credentials', 42],
  ['get_sid_from_name', 'alice'],
  ['get_sid_from_name', 'nobody'],
  ['get_sid_from_name'],
  ['get_sev_list', 'dorn', 'alice'],
  ['get_sev_list', 'dornX', 'many'],
  ['get_sev_list', 'dorn', 'nobody'],
  ['get_sev_list', 'dorn', 'empty'],
  ['get_sev_list', 'dorn', 'broken'],
  ['get_sev_list', 'ad', 'alice'],
  ['get_sev_list', 'Dorn', 'alice'],
  ['get_sev_list', 'dorn', 'no\0pe'],
  ['arb_set_credentials', 'svc-d', 'u', 'p'.repeat(200)],
  ['get_sev_list', 'dorn', 'longdn'],
];

let same;
function sameRun() {
  if (same === undefined) {
    same = runPromises(async (addon, promises, calls, strictPath) => {
      const sync = calls.map(([fn, ...args]) => addon[fn](...args));
      const outcome = (e) => ({ error: { ...e, message: e.message, kind: e.constructor.name } });
      const viaPromise = [];
      for (const [fn, ...args] of calls) {
        try {
          viaPromise.push({ value: await promises[fn](...args) });
        } catch (e) {
          viaPromise.push(outcome(e));
        }
      }
      const strict = require(strictPath);
      const viaStrict = calls.map(([fn, ...args]) => {
        try {
          return { value: strict[fn](...args) };
        } catch (e) {
          return outcome(e);
        }
      });
      return { sync, viaPromise, viaStrict };
    }, { args: [CALLS, STRICT] });
  }
  return same;
}

test('Promises and strict calls give what the synchronous calls return and log the same lines', { skip }, () => {
  const run = sameRun();
  const { sync, viaPromise, viaStrict } = run.value;
  CALLS.forEach((call, i) => {
    if (sync[i] === null) {
      assert.ok(viaPromise[i].error, `${call[0]} #${i} should reject`);
      // The strict API throws the very error the Promise rejects with.
      assert.deepEqual(viaStrict[i], viaPromise[i], `${call[0]} #${i}`);
    } else {
      assert.deepEqual(viaPromise[i], { value: sync[i] }, `${call[0]} #${i}`);
      assert.deepEqual(viaStrict[i], { value: sync[i] }, `${call[0]} #${i}`);
    }
  });
  assert.equal(sync[3].password, 'p'.repeat(126));
  assert.equal(sync[13].sev_count, MANY);
  assert.deepEqual(sync[21], { sev_count: 1, group0: LONG_DN });
  const logged = h.calls(run).map((r) => `${r.priority} ${r.message}`);
  assert.ok(logged.length > 30);
  const third = logged.length / 3;
  assert.deepEqual(logged.slice(third, 2 * third), logged.slice(0, third));
  assert.deepEqual(logged.slice(2 * third), logged.slice(0, third));
});

test('each failure rejects with its code, its message, every line and the status', { skip }, () => {
  const errors = sameRun().value.viaPromise.map((r) => r.error);
  // `line` is the module's most specific line: the message, except where
  // the message names an argument, a service or a user for people.
  const check = (i, code, message, lineCount, status, kind = 'Error', line = message) => {
    const e = errors[i];
    assert.ok(e, `call #${i} should reject`);
    assert.equal(e.code, code, `#${i}`);
    assert.equal(e.message, message, `#${i}`);
    assert.equal(e.log.length, lineCount, `#${i}: ${JSON.stringify(e.log)}`);
    assert.match(e.log[0], /^MFA-NAPI: <\w+:\d+> /);
    assert.ok(e.log[0].endsWith(line), `#${i}: ${e.log[0]}`);
    assert.equal(e.status, status, `#${i}`);
    assert.equal(e.kind, kind, `#${i}`);
  };
  check(4, 'ERR_KAVO_NOT_FOUND', 'no credentials are stored for the service "never"', 2, -802, 'Error',
    'Service entry <never> not found in ARB');
  check(5, 'ERR_KAVO_TOO_LONG', 'serviceName must be at most 254 bytes of UTF-8', 1, undefined, 'RangeError',
    'serviceName is longer than 254 bytes');
  check(6, 'ERR_KAVO_PLATFORM', 'User name is not set for service svc-c', 2, -805);
  check(7, 'ERR_INVALID_ARG_VALUE', 'applicationName must be a string without NUL bytes', 1, undefined, 'TypeError',
    'applicationName contains a NUL byte');
  check(8, 'ERR_INVALID_ARG_TYPE', 'serviceName must be a string; received a number', 1, undefined, 'TypeError',
    'napi_get_value_string_utf8 failed');
  // The directory simulator answers an unknown user with TAMO_ERR_NOT_FOUND.
  check(10, 'ERR_KAVO_NOT_FOUND', 'the directory has no user "nobody"', 1, -9001, 'Error',
    'get_sid_from_name: tamolib_get_userinfo_from_name failed');
  check(11, 'ERR_INVALID_ARG_TYPE', 'name must be a string; received undefined', 1, undefined, 'TypeError',
    'napi_get_value_string_utf8 for reading name failed');
  check(14, 'ERR_KAVO_NOT_FOUND', 'the directory has no user "nobody"', 2, -9001, 'Error',
    'Failed to get SEV list of user: nobody, error: -9001');
  check(15, 'ERR_KAVO_NOT_FOUND', 'the user "empty" has no security-equivalence entries', 2, undefined, 'Error',
    'sevCount is zero');
  // The same library status for an entry of the list is a platform failure.
  check(16, 'ERR_KAVO_PLATFORM', 'Failed to get user details by GUID: 33221100-5544-7766-88-99-aabbccddeeff, error: -9001',
    2, -9001);
  check(17, 'ERR_KAVO_UNSUPPORTED', 'Getting SEV list for AD user is not supported', 1, undefined);
  check(18, 'ERR_KAVO_UNSUPPORTED', 'unknown user type', 1, undefined);
  // The list's second argument: the type before it was read whole.
  check(19, 'ERR_INVALID_ARG_VALUE', 'userName must be a string without NUL bytes', 1, undefined, 'TypeError',
    'userName contains a NUL byte');
  check(20, 'ERR_KAVO_TOO_LONG', 'password must be at most 126 bytes of UTF-8', 1, undefined, 'RangeError',
    'password is longer than 126 bytes');
});

test('a protection failure is a platform failure; bad options reject and never throw; the ESM entry', { skip }, () => {
  const run = runPromises(async (addon, promises) => {
    const outcome = (promise) => promise.then((value) => ({ value }),
      (e) => ({ code: e.code, message: e.message, status: e.status, log: e.log.length }));
    process.env.PEX2_NO_WRAPPING_KEY = '1';
    const noKey = await outcome(promises.arb_set_credentials('svc', 'u', 'p'));
    delete process.env.PEX2_NO_WRAPPING_KEY;
    let threw = false;
    let badOptions;
    try {
      badOptions = await outcome(promises.get_sid_from_name('alice', 'not options'));
    } catch {
      threw = true;
    }
    const badSignal = await outcome(promises.get_sid_from_name('alice', { signal: {} }));
    // The ESM entry: the same object as default, its functions as names.
    const esm = await import(require('node:url').pathToFileURL(process.env.KAVO_PROMISES_MJS).href);
    const sameEsm = esm.default === promises && Object.keys(promises).every((name) => esm[name] === promises[name]);
    return { noKey, threw, badOptions, badSignal, sameEsm, after: await esm.get_sid_from_name('alice', {}) };
  }, { env: { KAVO_PROMISES_MJS: PROMISES.replace(/\.js$/, '.mjs') } });
  assert.deepEqual(run.value.noKey, {
    code: 'ERR_KAVO_PLATFORM', message: 'Error while encrypting the data, Error: <-4>', status: -4, log: 2,
  });
  assert.equal(run.value.threw, false);
  assert.equal(run.value.badOptions.code, 'ERR_INVALID_ARG_TYPE');
  assert.equal(run.value.badSignal.code, 'ERR_INVALID_ARG_TYPE');
  assert.equal(run.value.sameEsm, true);
  assert.deepEqual(run.value.after, { sid: ALICE_SID });
});

// ---- Abort -------------------------------------------------------------------

// Runs `script(addon, promises, locked)` while another process holds the
// write lock of the credential store (`locked` is that process): a store
// runs and then waits in the store, and the credential requests behind it
// wait in the companion's queue.  The lock is given up when the script
// ends the locker's input, or at the end.
function withStoreLocked(script) {
  return runPromises(async (addon, promises, source) => {
    const { spawn } = require('node:child_process');
    addon.arb_set_credentials('seed', 'u', 'p');
    const locker = spawn('sqlite3', ['/etc/opt/zorvex/credstore.db'], { stdio: ['pipe', 'pipe', 'inherit'] });
    await new Promise((resolve) => {
      locker.stdout.on('data', (data) => String(data).includes('locked') && resolve());
      locker.stdin.write("BEGIN IMMEDIATE;\nSELECT 'locked';\n");
    });
    try {
      return await eval(`(${source})`)(addon, promises, locker);
    } finally {
      locker.stdin.end('COMMIT;\n');
    }
  }, { args: [script.toString()] });
}

test('abort: a queued request is dropped, a running one finishes, every aborted Promise rejects at once', { skip }, () => {
  const run = withStoreLocked(async (addon, promises, locker) => {
    const outcome = (promise) => promise.then(() => 'resolved', (e) => `${e.name}:${e.code}`);
    const early = await outcome(promises.arb_set_credentials('early', 'u', 'p', { signal: AbortSignal.abort() }));
    const lookup = await outcome(promises.get_sev_list('dorn', 'alice', { signal: AbortSignal.abort() }));
    const one = new AbortController();
    const shared = new AbortController();
    const running = outcome(promises.arb_set_credentials('running', 'u', 'p', { signal: one.signal }));
    await new Promise((resolve) => setTimeout(resolve, 500));  // it has started and waits for the lock
    const queued = outcome(promises.arb_set_credentials('queued', 'u', 'p', { signal: shared.signal }));
    const waiting = outcome(promises.arb_set_credentials('waiting', 'u', 'p', { signal: shared.signal }));
    const third = outcome(promises.arb_set_credentials('third', 'u', 'p'));
    one.abort();
    shared.abort();
    // All three aborted Promises have settled while the store is still locked.
    const settled = { early, lookup, running: await running, queued: await queued, waiting: await waiting };
    locker.stdin.end('COMMIT;\n');
    settled.third = await third;
    // Aborting after a request settled changes nothing.
    const late = new AbortController();
    settled.late = await outcome(promises.arb_get_credentials('third', { signal: late.signal }));
    late.abort();
    settled.stored = ['early', 'running', 'queued', 'waiting', 'third']
      .map((s) => addon.arb_get_credentials(s) !== undefined);
    return settled;
  });
  assert.deepEqual(run.value, {
    early: 'AbortError:ABORT_ERR',
    lookup: 'AbortError:ABORT_ERR',
    running: 'AbortError:ABORT_ERR',
    queued: 'AbortError:ABORT_ERR',
    waiting: 'AbortError:ABORT_ERR',
    third: 'resolved',
    late: 'resolved',
    stored: [false, true, false, false, true],
  });
  // Only the synchronous checks of the services never stored logged.
  assert.equal(h.calls(run).length, 6);
});

test('abort: a storm of aborts at every moment, and one signal shared by 1,000 calls without a warning', { skip }, () => {
  const run = runPromises(async (addon, promises) => {
    const warnings = [];
    process.on('warning', (w) => warnings.push(w.name));
    for (let i = 0; i < 10; i++) addon.arb_set_credentials(`storm-${i}`, 'u', `pw-${i}`);
    const counts = { resolved: 0, aborted: 0, wrong: 0 };
    const until = Date.now() + 6000;
    for (let round = 0; Date.now() < until; round++) {
      const jobs = Array.from({ length: 40 }, (_, i) => {
        const controller = new AbortController();
        setTimeout(() => controller.abort(), (i + round) % 4);
        return promises.arb_get_credentials(`storm-${i % 10}`, { signal: controller.signal }).then(
          (r) => { counts[r.password === `pw-${i % 10}` ? 'resolved' : 'wrong']++; },
          (e) => { counts[e.name === 'AbortError' ? 'aborted' : 'wrong']++; });
      });
      await Promise.all(jobs);
    }
    const shared = new AbortController();
    const many = Array.from({ length: 1000 }, () =>
      promises.get_sid_from_name('alice', { signal: shared.signal }).then(() => 'resolved', (e) => e.name));
    shared.abort();
    const kinds = new Set(await Promise.all(many));
    await new Promise((resolve) => setImmediate(resolve));
    return { counts, kinds: [...kinds].sort(), warnings, after: (await promises.arb_get_credentials('storm-1')).password };
  });
  const { counts, kinds, warnings, after } = run.value;
  assert.equal(counts.wrong, 0);
  assert.ok(counts.resolved > 0 && counts.aborted > 0, JSON.stringify(counts));
  assert.ok(kinds.includes('AbortError'), kinds);
  assert.deepEqual(warnings, []);
  assert.equal(after, 'pw-1');
});

test("a rejection's stack shows the calling function", { skip }, () => {
  const run = runPromises(async (addon, promises) => {
    async function lookUpTheMissingService() {
      await promises.arb_get_credentials('never-stored');
    }
    try {
      await lookUpTheMissingService();
    } catch (e) {
      return e.stack;
    }
  });
  assert.match(run.value, /at async lookUpTheMissingService /);
});

// ---- Concurrency -------------------------------------------------------------
test('hundreds of Promises in flight, each with its own correct result', { skip }, () => {
  const run = runPromises(async (addon, promises, sid) => {
    for (let i = 0; i < 20; i++) addon.arb_set_credentials(`svc-${i}`, `user-${i}`, `pw-${i}`);
    const jobs = [];
    for (let i = 0; i < 400; i++) {
      const k = i % 20;
      switch (i % 5) {
        case 0: jobs.push(promises.arb_get_credentials(`svc-${k}`).then((r) => r.user_name === `user-${k}` && r.password === `pw-${k}`)); break;
        case 1: jobs.push(promises.get_sid_from_name('alice').then((r) => r.sid === sid)); break;
        case 2: jobs.push(promises.get_sev_list('dorn', 'alice').then((r) => r.sev_count === 2 && r.group0 === 'cn=g1,o=corp')); break;
        case 3: jobs.push(promises.arb_get_credentials(`never-${i}`).then(() => false, (e) => e.code === 'ERR_KAVO_NOT_FOUND')); break;
        default: jobs.push(promises.arb_set_credentials(`new-${i}`, `u-${i}`, `p-${i}`).then((r) => r.status === 'OK'));
      }
    }
    const ok = await Promise.all(jobs);
    const stored = Array.from({ length: 80 }, (_, j) => addon.arb_get_credentials(`new-${5 * j + 4}`))
      .every((r, j) => r && r.password === `p-${5 * j + 4}`);
    return { failed: ok.filter((x) => !x).length, stored };
  }, { args: [ALICE_SID] });
  assert.deepEqual(run.value, { failed: 0, stored: true });
});

test("lookups waiting on the directory never hold up the application's pool work", { skip }, () => {
  // Another process holds the directory database locked exclusively (in WAL
  // mode only exclusive locking mode keeps readers out), so every lookup of
  // the batch waits in the directory library until the lock is given up,
  // which only happens after a file read on the libuv pool has completed.
  const run = runPromises(async (addon, promises) => {
    const { spawn } = require('node:child_process');
    const fs = require('node:fs');
    const locker = spawn('sqlite3', ['/etc/opt/zorvex/directory.db'], { stdio: ['pipe', 'pipe', 'inherit'] });
    await new Promise((resolve) => {
      locker.stdout.on('data', (data) => String(data).includes('locked') && resolve());
      locker.stdin.write("PRAGMA locking_mode=EXCLUSIVE;\nBEGIN EXCLUSIVE;\nSELECT 'locked';\n");
    });
    let released = false;
    const batch = Array.from({ length: 8 }, () =>
      promises.get_sev_list('dorn', 'many').then((r) => ({ count: r.sev_count, released })));
    await new Promise((resolve) => setTimeout(resolve, 50));  // the lookups are waiting
    const started = process.hrtime.bigint();
    await fs.promises.readFile(process.env.KAVO_SCRIPT_FILE);
    const readMs = Number(process.hrtime.bigint() - started) / 1e6;
    released = true;
    locker.stdin.end('COMMIT;\n');
    return { readMs, batch: await Promise.all(batch) };
  });
  assert.ok(run.value.readMs <= 50, `the read took ${run.value.readMs} ms`);
  assert.equal(run.value.batch.length, 8);
  for (const seen of run.value.batch) {
    assert.deepEqual(seen, { count: MANY, released: true });
  }
});

// The worker and exit scripts share this: many requests of every kind.
function flood(promises, tag, count) {
  const jobs = [];
  for (let i = 0; i < count; i++) {
    jobs.push(promises.arb_set_credentials(`${tag}-${i % 7}`, 'u', `p-${i}`).catch(() => {}));
    jobs.push(promises.get_sev_list('dorn', 'many').catch(() => {}));
    jobs.push(promises.arb_get_credentials(`${tag}-${i % 7}`).catch(() => {}));
  }
  return jobs;
}

test('process.exit() with requests in flight ends the process cleanly', { skip }, () => {
  for (const when of ['at once', 'after the first result']) {
    const run = h.runAddon(`
      const fs = require('node:fs');
      const promises = require(args[0]);
      const flood = ${flood.toString()};
      const jobs = flood(promises, 'exit', 40);
      const exit = () => {
        fs.writeFileSync(process.env.KAVO_RESULT_FILE, JSON.stringify({ type: 'string', value: 'exiting' }));
        process.exit(7);
      };
      if (args[1] === 'at once') setImmediate(exit); else Promise.race(jobs).then(exit);
      await new Promise(() => {});
    `, { platform, args: [PROMISES, when] });
    assert.equal(run.value, 'exiting', when);
    assert.equal(run.status, 7, `${when}: ${run.stderr}`);
  }
});

test('worker threads: requests from several threads at once, and terminate() with requests in flight', { skip }, () => {
  const run = runPromises(async (addon, promises, floodSource, sid) => {
    const { Worker } = require('node:worker_threads');
    const worker = (source, data) => new Worker(`
      const { parentPort, workerData } = require('node:worker_threads');
      const promises = require(${JSON.stringify(require.resolve(process.env.KAVO_PROMISES))});
      (${source})(promises, parentPort, workerData);
    `, { eval: true, workerData: data });

    // Workers that are terminated while their requests run or wait.
    const doomed = Array.from({ length: 2 }, (_, id) => worker(`(promises, port, data) => {
      const flood = ${floodSource};
      const jobs = flood(promises, 'doomed-' + data.id, 30);
      Promise.race(jobs).then(() => port.postMessage('busy'));
    }`, { id }));
    const terminated = Promise.all(doomed.map((w) => new Promise((resolve) => {
      w.once('message', () => w.terminate().then(resolve));
      w.once('error', resolve);
    })));

    // Workers that check every result of their own.
    const checking = Array.from({ length: 3 }, (_, id) => worker(`async (promises, port, data) => {
      let wrong = 0;
      for (let i = 0; i < 15; i++) {
        const password = 'pw-' + data.id + '-' + i;
        await promises.arb_set_credentials('own-' + data.id, 'user-' + data.id, password);
        const [got, sid, sev] = await Promise.all([
          promises.arb_get_credentials('own-' + data.id),
          promises.get_sid_from_name('alice'),
          promises.get_sev_list('dorn', 'alice'),
        ]);
        if (got.password !== password || got.user_name !== 'user-' + data.id) wrong++;
        if (sid.sid !== data.sid || sev.sev_count !== 2) wrong++;
      }
      port.postMessage(wrong);
    }`, { id, sid }));
    const wrongs = checking.map((w) => new Promise((resolve, reject) => {
      w.once('message', resolve);
      w.once('error', reject);
    }));
    const mainJobs = Array.from({ length: 30 }, (_, i) =>
      promises.arb_set_credentials(`main-${i}`, 'm', `mp-${i}`).then(() => promises.arb_get_credentials(`main-${i}`)));
    const results = await Promise.all([...wrongs, ...mainJobs, terminated]);
    await Promise.all(checking.map((w) => w.terminate()));
    // The credential queue is not left blocked by the terminated workers.
    const afterwards = await promises.arb_get_credentials('main-0');
    return {
      wrong: results.slice(0, 3),
      main: results.slice(3, 33).every((r, i) => r.password === `mp-${i}`),
      afterwards: afterwards.password,
    };
  }, { args: [flood.toString(), ALICE_SID], env: { KAVO_PROMISES: PROMISES } });
  assert.deepEqual(run.value, { wrong: [0, 0, 0], main: true, afterwards: 'mp-0' });
});
