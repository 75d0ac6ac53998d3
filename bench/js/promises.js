#!/usr/bin/env node
'use strict';
// Benchmark of kavo-interface/promises against the synchronous functions,
// and of the alternative it was chosen over: the same synchronous calls run
// on a pool of worker threads (one per libuv pool thread), answered by
// message.
//
//   bench/js/promises.js [--ops N] [--reps R]
//
// Runs itself inside a fresh platform sandbox.  It reports, as medians over
// R repetitions:
//   - the round trip's overhead: the median time of one awaited call minus
//     the median time of one synchronous call (target: <= 20 us, held
//     against the short calls, arb_get_credentials and get_sid_from_name;
//     a SEV list of 1 ms or more adds the scheduling of the threads that
//     waited for it, which a busy machine makes large);
//   - throughput: N calls made at once and awaited together, against N
//     synchronous calls one after the other, as synchronous time / Promise
//     time (targets: >= 0.7 for arb_get_credentials, >= 1 for get_sev_list).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const platform = require('../../tools/lib/platform');

const POOL = Number(process.env.UV_THREADPOOL_SIZE) || 4;
const SEV_ENTRIES = 20;
const TARGETS = { overhead: 20, arb_get_credentials: 0.7, get_sev_list: 1 };

function parseArgs(argv) {
  const options = { ops: 1000, reps: 5 };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--ops') options.ops = Number(argv[++i]);
    else if (argv[i] === '--reps') options.reps = Number(argv[++i]);
    else {
      console.error('usage: bench/js/promises.js [--ops N] [--reps R]');
      process.exit(2);
    }
  }
  if (!(options.ops > 0 && options.reps > 0)) {
    console.error('--ops and --reps must be positive');
    process.exit(2);
  }
  return options;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

const now = () => process.hrtime.bigint();
const micros = (start) => Number(now() - start) / 1000;

// The alternative: worker threads that each run the synchronous calls.
function workerPool(addonPath) {
  const { Worker } = require('node:worker_threads');
  const source = `
    const { parentPort } = require('node:worker_threads');
    const addon = require(${JSON.stringify(addonPath)});
    parentPort.on('message', ({ id, fn, args }) => parentPort.postMessage({ id, value: addon[fn](...args) }));
  `;
  const pending = new Map();
  let next = 0;
  const workers = Array.from({ length: POOL }, () => {
    const worker = new Worker(source, { eval: true });
    worker.on('message', ({ id, value }) => {
      pending.get(id)(value);
      pending.delete(id);
    });
    return worker;
  });
  return {
    call(fn, ...args) {
      const id = next++;
      return new Promise((resolve) => {
        pending.set(id, resolve);
        workers[id % workers.length].postMessage({ id, fn, args });
      });
    },
    close: () => Promise.all(workers.map((w) => w.terminate())),
  };
}

async function perCall(n, call) {
  const times = [];
  for (let i = 0; i < n; i++) {
    const start = now();
    await call(i);
    times.push(micros(start));
  }
  return median(times);
}

async function inner(options) {
  const addon = platform.loadAddon();
  const promises = require('../../promises');
  const entries = Array.from({ length: SEV_ENTRIES }, (_, i) => ['add-entry', `cn=bench-group-${i},o=corp`]);
  const lines = [...entries, ['add-user', 'bench-user', 'cn=bench-user,o=corp', 'S-1-5-21-1-2-3-4'],
    ['set-sev', 'bench-user', ...entries.map(([, dn]) => dn)]];
  const provisioned = spawnSync(platform.paths.provision,
    ['--db', path.join(platform.mountedRoot, 'directory.db'), 'batch'],
    { input: lines.map((fields) => fields.join('\t')).join('\n') + '\n', encoding: 'utf8' });
  if (provisioned.status !== 0) throw new Error(`tamo-provision failed: ${provisioned.stderr}`);
  for (let i = 0; i < 16; i++) addon.arb_set_credentials(`bench-${i}`, `user-${i}`, `password-${i}`);
  const pool = workerPool(platform.paths.addon);

  const functions = {
    arb_get_credentials: (i) => [`bench-${i % 16}`],
    get_sev_list: () => ['dorn', 'bench-user'],
    get_sid_from_name: () => ['bench-user'],
  };
  const expected = (fn, args) => JSON.stringify(addon[fn](...args));
  for (const [fn, argsOf] of Object.entries(functions)) {
    const want = expected(fn, argsOf(0));
    if (JSON.stringify(await promises[fn](...argsOf(0))) !== want ||
        JSON.stringify(await pool.call(fn, ...argsOf(0))) !== want) {
      throw new Error(`${fn}: the Promise or worker result differs from the synchronous one`);
    }
  }

  const rows = [];
  for (const [fn, argsOf] of Object.entries(functions)) {
    const row = { fn, sync: [], promise: [], worker: [], syncBatch: [], promiseBatch: [], workerBatch: [] };
    const n = Math.min(options.ops, 300);
    for (let rep = 0; rep < options.reps; rep++) {
      row.sync.push(await perCall(n, (i) => addon[fn](...argsOf(i))));
      row.promise.push(await perCall(n, (i) => promises[fn](...argsOf(i))));
      row.worker.push(await perCall(n, (i) => pool.call(fn, ...argsOf(i))));

      let start = now();
      for (let i = 0; i < options.ops; i++) addon[fn](...argsOf(i));
      row.syncBatch.push(micros(start));
      start = now();
      await Promise.all(Array.from({ length: options.ops }, (_, i) => promises[fn](...argsOf(i))));
      row.promiseBatch.push(micros(start));
      start = now();
      await Promise.all(Array.from({ length: options.ops }, (_, i) => pool.call(fn, ...argsOf(i))));
      row.workerBatch.push(micros(start));
    }
    for (const key of Object.keys(row)) if (key !== 'fn') row[key] = median(row[key]);
    rows.push(row);
  }
  await pool.close();

  console.log(`median of ${options.reps} repetitions; libuv pool and worker pool of ${POOL} threads; ` +
    `SEV lists of ${SEV_ENTRIES} entries`);
  console.log('round trip: median microseconds of one call; overhead over the synchronous call');
  console.log(`${'function'.padEnd(22)}${'sync'.padStart(9)}${'promise'.padStart(9)}${'overhead'.padStart(10)}` +
    `${'worker'.padStart(9)}${'overhead'.padStart(10)}`);
  let missed = false;
  for (const r of rows) {
    if (r.fn !== 'get_sev_list') missed = missed || r.promise - r.sync > TARGETS.overhead;
    console.log(`${r.fn.padEnd(22)}${r.sync.toFixed(1).padStart(9)}${r.promise.toFixed(1).padStart(9)}` +
      `${(r.promise - r.sync).toFixed(1).padStart(10)}${r.worker.toFixed(1).padStart(9)}` +
      `${(r.worker - r.sync).toFixed(1).padStart(10)}`);
  }
  console.log(`throughput: ${options.ops} calls at once against ${options.ops} synchronous calls (milliseconds; ` +
    'ratio = synchronous time / concurrent time)');
  console.log(`${'function'.padEnd(22)}${'sync'.padStart(9)}${'promise'.padStart(9)}${'ratio'.padStart(8)}` +
    `${'worker'.padStart(9)}${'ratio'.padStart(8)}`);
  for (const r of rows) {
    const ratio = r.syncBatch / r.promiseBatch;
    if (TARGETS[r.fn] !== undefined) missed = missed || ratio < TARGETS[r.fn];
    console.log(`${r.fn.padEnd(22)}${(r.syncBatch / 1000).toFixed(1).padStart(9)}` +
      `${(r.promiseBatch / 1000).toFixed(1).padStart(9)}${ratio.toFixed(2).padStart(8)}` +
      `${(r.workerBatch / 1000).toFixed(1).padStart(9)}${(r.syncBatch / r.workerBatch).toFixed(2).padStart(8)}`);
  }
  const targets = 'overhead <= 20 us for the short calls; throughput >= 0.7 credentials, >= 1 SEV lists';
  console.log(missed ? `target missed (${targets})` : `every target met (${targets})`);
}

const options = parseArgs(process.argv.slice(2));
const root = process.env.KAVO_BENCH_ROOT || path.join(platform.paths.build, 'bench-promises-platform');
if (platform.insideSandbox(root)) {
  inner(options).catch((error) => {
    console.error(error);
    process.exit(1);
  });
} else {
  fs.rmSync(root, { recursive: true, force: true });
  platform.reexecInSandbox(root, { env: { KAVO_BENCH_ROOT: root } });
}
