#!/usr/bin/env node
'use strict';
// Benchmark of kavo-interface/promises against the synchronous functions,
// side by side with Node's own thread-pool round trip.
//
//   bench/js/promises.js [--ops N] [--reps R]
//
// Runs itself inside a fresh platform sandbox.  It reports, as medians over
// R repetitions:
//   - the round trip's overhead: the median time of one awaited call minus
//     the median time of one synchronous call, against the same for Node's
//     own pool (fs.promises.stat against fs.statSync), the four calls made
//     in turn, with the process on one CPU (target: at most 1.5 times Node's
//     overhead, every function);
//   - throughput: N calls made at once and awaited together, against N
//     synchronous calls one after the other, as synchronous time / Promise
//     time (targets: >= 0.7 for arb_get_credentials, >= 1 for get_sev_list).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const platform = require('../../tools/lib/platform');

const { parseArgs } = require('node:util');

const SEV_ENTRIES = 20;
// Throughput targets for the calls long enough to gain from running side by
// side; a SID lookup (a few microseconds) is reported only.
const TARGETS = { overhead: 1.5, arb_get_credentials: 0.7, get_sev_list: 1 };

function options() {
  let values;
  try {
    ({ values } = parseArgs({ options: { ops: { type: 'string', default: '1000' }, reps: { type: 'string', default: '5' } } }));
  } catch (error) {
    console.error(`${error.message}\nusage: bench/js/promises.js [--ops N] [--reps R]`);
    process.exit(2);
  }
  const parsed = { ops: Number(values.ops), reps: Number(values.reps) };
  if (!(parsed.ops > 0 && parsed.reps > 0)) {
    console.error('--ops and --reps must be positive');
    process.exit(2);
  }
  return parsed;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

const now = () => process.hrtime.bigint();
const micros = (start) => Number(now() - start) / 1000;

const FUNCTIONS = {
  arb_get_credentials: (i) => [`bench-${i % 16}`],
  get_sev_list: () => ['dorn', 'bench-user'],
  get_sid_from_name: () => ['bench-user'],
};

// One round trip of each kind in turn, n times, so that all four meet the
// machine in the same state; the medians of each, in microseconds.
async function roundTrips(n, sides) {
  const times = sides.map(() => []);
  for (let i = 0; i < n; i++) {
    for (const [k, call] of sides.entries()) {
      const start = now();
      await call(i);
      times[k].push(micros(start));
    }
  }
  return times.map(median);
}

// The round-trip phase, in a process of its own on one CPU (see below):
// prints { fn: { sync, promise, statSync, stat } } as JSON.
async function roundTripPhase(options) {
  const addon = platform.loadAddon();
  const promises = require('../../promises');
  const statFile = process.execPath;
  const n = Math.min(options.ops, 300);
  const result = {};
  for (const [fn, argsOf] of Object.entries(FUNCTIONS)) {
    const reps = [];
    for (let rep = 0; rep < options.reps; rep++) {
      reps.push(await roundTrips(n, [
        (i) => addon[fn](...argsOf(i)),
        (i) => promises[fn](...argsOf(i)),
        () => fs.statSync(statFile),
        () => fs.promises.stat(statFile),
      ]));
    }
    const [sync, promise, statSync, stat] = [0, 1, 2, 3].map((k) => median(reps.map((r) => r[k])));
    result[fn] = { sync, promise, statSync, stat };
  }
  process.stdout.write(JSON.stringify(result));
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
  for (const [fn, argsOf] of Object.entries(FUNCTIONS)) {
    if (JSON.stringify(await promises[fn](...argsOf(0))) !== JSON.stringify(addon[fn](...argsOf(0)))) {
      throw new Error(`${fn}: the Promise result differs from the synchronous one`);
    }
  }

  // The round trips run with the process on one CPU.  On this virtual
  // machine a thread woken on an idle vCPU waits 20 to 70 us for the
  // hypervisor, whoever's thread it is (Node's own pool round trip swings as
  // much from run to run), so across CPUs the figures would measure the
  // machine rather than the code.
  const child = spawnSync('taskset', ['-c', '0', process.execPath, __filename, ...process.argv.slice(2)],
    { env: { ...process.env, KAVO_BENCH_PHASE: 'round-trip' }, encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'] });
  if (child.status !== 0) throw new Error(`the round-trip phase failed (status ${child.status})`);
  const trips = JSON.parse(child.stdout);

  const rows = [];
  for (const [fn, argsOf] of Object.entries(FUNCTIONS)) {
    const row = { fn, ...trips[fn], syncBatch: [], promiseBatch: [] };
    for (let rep = 0; rep < options.reps; rep++) {
      let start = now();
      for (let i = 0; i < options.ops; i++) addon[fn](...argsOf(i));
      row.syncBatch.push(micros(start));
      start = now();
      await Promise.all(Array.from({ length: options.ops }, (_, i) => promises[fn](...argsOf(i))));
      row.promiseBatch.push(micros(start));
    }
    row.syncBatch = median(row.syncBatch);
    row.promiseBatch = median(row.promiseBatch);
    rows.push(row);
  }

  console.log(`median of ${options.reps} repetitions; SEV lists of ${SEV_ENTRIES} entries; ` +
    `directory threads: ${process.env.KAVO_DIRECTORY_THREADS || 2}`);
  console.log('round trip, on one CPU: median microseconds of one call, and its overhead over the synchronous ' +
    "call; Node's own: fs.promises.stat over fs.statSync, call by call in turn with the others");
  console.log(`${'function'.padEnd(22)}${'sync'.padStart(9)}${'promise'.padStart(9)}${'overhead'.padStart(10)}` +
    `${'node own'.padStart(10)}${'ratio'.padStart(8)}`);
  let missed = false;
  for (const r of rows) {
    const own = r.stat - r.statSync;
    const ratio = (r.promise - r.sync) / own;
    missed = missed || ratio > TARGETS.overhead;
    console.log(`${r.fn.padEnd(22)}${r.sync.toFixed(1).padStart(9)}${r.promise.toFixed(1).padStart(9)}` +
      `${(r.promise - r.sync).toFixed(1).padStart(10)}${own.toFixed(1).padStart(10)}${ratio.toFixed(2).padStart(8)}`);
  }
  console.log(`throughput, on every CPU: ${options.ops} calls at once against ${options.ops} synchronous calls ` +
    '(milliseconds; ratio = synchronous time / concurrent time)');
  console.log(`${'function'.padEnd(22)}${'sync'.padStart(9)}${'promise'.padStart(9)}${'ratio'.padStart(8)}`);
  for (const r of rows) {
    const ratio = r.syncBatch / r.promiseBatch;
    if (TARGETS[r.fn] !== undefined) missed = missed || ratio < TARGETS[r.fn];
    console.log(`${r.fn.padEnd(22)}${(r.syncBatch / 1000).toFixed(1).padStart(9)}` +
      `${(r.promiseBatch / 1000).toFixed(1).padStart(9)}${ratio.toFixed(2).padStart(8)}`);
  }
  const targets = "overhead <= 1.5 x Node's own; throughput >= 0.7 credentials, >= 1 SEV lists";
  console.log(missed ? `target missed (${targets})` : `every target met (${targets})`);
}

const parsed = options();
const root = process.env.KAVO_BENCH_ROOT || path.join(platform.paths.build, 'bench-promises-platform');
if (platform.insideSandbox(root)) {
  (process.env.KAVO_BENCH_PHASE === 'round-trip' ? roundTripPhase : inner)(parsed).catch((error) => {
    console.error(error);
    process.exit(1);
  });
} else {
  fs.rmSync(root, { recursive: true, force: true });
  platform.reexecInSandbox(root, { env: { KAVO_BENCH_ROOT: root } });
}
