'use strict';
// Scaffolding shared by the JavaScript benchmarks (credentials.js,
// directory.js): worker processes in their own platform sandboxes, warm-up
// until the timings settle, interleaved batches, per-call statistics and the
// report.
//
// A suite describes
//   name                 its title in the report
//   file                 the suite's own file, run again as a worker
//   workers              [{ id, args, prepare }]: one process per data set;
//                        prepare(root), when given, runs in the parent on
//                        the worker's fresh root before the worker starts
//                        and returns variables for its environment
//   setup(args, dirs)    (in the worker) builds the data and returns
//                        { cases: { NAME: { module(i), reference(i) } }, verify() };
//                        verify() throws when a side answers wrongly
//   rows                 what the report compares, each
//                        { label, measured: [worker, case, side],
//                          against: [worker, case, side], target, kind }
//                        ratio = median(measured) / median(against), met
//                        when ratio <= target (no target: informational)
//
// The parent runs outside the sandbox.  Each worker is a Node.js process
// started inside the platform sandbox (the tool that tools/lib/platform.js
// names, so that its name and the simulators' folder are set in one place)
// on a fresh platform root; it answers one request per line on stdin with one JSON
// line on stdout.  All timed series of a suite (every worker, case and side)
// take turns batch by batch, in a new random order every round, so that a
// change of machine load falls on all of them alike.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { performance } = require('node:perf_hooks');
const { parseArgs } = require('node:util');
const { paths, mountedRoot, requireBuilt } = require('../../tools/lib/platform');

const SKIPPED = 77;
// The measured rounds are cut into this many parts to show the ratio's spread.
const SPREAD_PARTS = 5;
// A smoke run (--quick): suites build smaller data sets; workers see the flag too.
const quick = process.argv.includes('--quick');

// ---- Settings -------------------------------------------------------------------

const defaults = {
  batchMs: 3,            // aimed duration of one batch of one series
  window: 5,             // batches per window of the settling test
  settle: 0.03,          // windows whose medians differ by less than this: settled
  minWarmCalls: 1000,    // calls (or minWarmMs) a series gets before it may settle
  minWarmMs: 500,
  maxWarmMs: 40000,      // warm-up bound for the whole suite
  minRounds: 20,         // measured rounds at least
  minSamples: 1000,      // calls per series at least, for a meaningful p99
  maxMeasureMs: 40000,   // measurement bound for the whole suite
  seed: 1,
};

const usage = `usage: bench/js/run [--suite credentials|directory]... [--json FILE]
    [--quick] [--settle FRACTION] [--max-warm-s S] [--max-measure-s S] [--min-samples N]`;

function parseOptions(argv) {
  let values;
  try {
    ({ values } = parseArgs({
      args: argv,
      options: {
        suite: { type: 'string', multiple: true },
        json: { type: 'string' },
        quick: { type: 'boolean' },
        settle: { type: 'string' },
        'max-warm-s': { type: 'string' },
        'max-measure-s': { type: 'string' },
        'min-samples': { type: 'string' },
        help: { type: 'boolean' },
      },
    }));
  } catch (error) {
    fail(error.message);
  }
  if (values.help) {
    console.log(usage);
    process.exit(0);
  }
  const options = { ...defaults, suites: values.suite ?? [], json: values.json && path.resolve(values.json) };
  if (values.quick) {
    // A smoke run: small data sets and short bounds; figures are not
    // comparable with a full run.
    Object.assign(options, { quick: true, maxWarmMs: 3000, maxMeasureMs: 3000, minRounds: 5, minSamples: 50 });
  }
  const number = (name) => {
    const n = Number(values[name]);
    if (!(n > 0)) fail(`--${name} needs a positive number`);
    return n;
  };
  if (values.settle !== undefined) options.settle = number('settle');
  if (values['max-warm-s'] !== undefined) options.maxWarmMs = number('max-warm-s') * 1000;
  if (values['max-measure-s'] !== undefined) options.maxMeasureMs = number('max-measure-s') * 1000;
  if (values['min-samples'] !== undefined) options.minSamples = number('min-samples');
  return options;
}

function fail(message) {
  console.error(`${message}\n${usage}`);
  process.exit(2);
}

// ---- Statistics -----------------------------------------------------------------

function sorted(values) {
  return Float64Array.from(values).sort();
}

// Nearest-rank quantile of sorted values.
function quantile(sortedValues, q) {
  if (sortedValues.length === 0) return NaN;
  const rank = Math.ceil(q * sortedValues.length);
  return sortedValues[Math.min(sortedValues.length, Math.max(1, rank)) - 1];
}

function median(values) {
  const s = sorted(values);
  if (s.length === 0) return NaN;
  const mid = s.length >> 1;
  return s.length % 2 ? s[mid] : (s[mid - 1] + s[mid]) / 2;
}

// Deterministic shuffle (mulberry32), so that two runs take the same orders.
function shuffler(seed) {
  let state = seed >>> 0;
  const random = () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  return (items) => {
    const out = [...items];
    for (let i = out.length - 1; i > 0; i--) {
      const j = Math.floor(random() * (i + 1));
      [out[i], out[j]] = [out[j], out[i]];
    }
    return out;
  };
}

// ---- Worker side ------------------------------------------------------------------

// The cost of one pair of clock readings, taken off every sample.
function timerOverhead() {
  const samples = new Float64Array(20000);
  for (let i = 0; i < samples.length; i++) {
    const start = performance.now();
    samples[i] = performance.now() - start;
  }
  return median(samples) * 1e6;
}

// Times n calls of fn one by one; nanoseconds per call.  Both sides answer
// every call with an object; a call that fails (undefined) would be timed
// doing less, so it fails the batch.
function timeCalls(fn, first, n, overheadNs) {
  const samples = new Array(n);
  let failed = 0;
  for (let i = 0; i < n; i++) {
    const start = performance.now();
    const result = fn(first + i);
    const ns = (performance.now() - start) * 1e6 - overheadNs;
    samples[i] = Math.round(Math.max(0, ns));
    if (result === undefined) failed++;
  }
  if (failed) throw new Error(`${failed} of ${n} calls failed (see the system log)`);
  return samples;
}

// Runs in the worker: builds the suite's data, checks both sides, then
// serves batches until told to stop.
async function serveWorker(suite, workerId) {
  // Standard output carries the answers; anything else goes to stderr.
  const reply = (message) => process.stdout.write(`${JSON.stringify(message)}\n`);
  console.log = console.error;
  const worker = suite.workers.find((w) => w.id === workerId);
  let state;
  try {
    state = await suite.setup(worker.args, {
      reference: process.env.KAVO_BENCH_REFERENCE,
      root: mountedRoot,
    });
    state.verify();
  } catch (error) {
    reply({ error: error.stack || String(error) });
    process.exitCode = 1;
    return;
  }
  const overheadNs = timerOverhead();
  const next = new Map();  // per case and side, the next input index
  reply({ ready: true, overheadNs, info: state.info });
  for await (const line of readline.createInterface({ input: process.stdin })) {
    const request = JSON.parse(line);
    try {
      if (request.op === 'batch') {
        const key = `${request.case}/${request.side}`;
        const first = next.get(key) || 0;
        const samples = timeCalls(state.cases[request.case][request.side], first, request.n, overheadNs);
        next.set(key, first + request.n);
        reply({ samples });
      } else if (request.op === 'verify') {
        state.verify();
        reply({ ok: true });
      } else if (request.op === 'exit') {
        reply({ ok: true });
        break;
      } else {
        throw new Error(`unknown request ${line}`);
      }
    } catch (error) {
      reply({ error: error.stack || String(error) });
    }
  }
  if (state.close) state.close();
}

// ---- Parent side ------------------------------------------------------------------

class Worker {
  // Starts suite.file as worker `id` in the sandbox of a new root under work.
  constructor(suite, id, work) {
    this.id = id;
    const root = path.join(work, `${id}-platform`);
    const reference = path.join(work, `${id}-reference`);
    fs.mkdirSync(root, { recursive: true });
    fs.mkdirSync(reference, { recursive: true, mode: 0o700 });
    const { prepare } = suite.workers.find((w) => w.id === id);
    const env = { ...process.env, KAVO_BENCH_REFERENCE: reference, ...(prepare ? prepare(root) : {}) };
    env.KAVO_PLATFORM_LIBS = paths.simulators;
    // The simulators must use the sandbox's files, whatever the caller set.
    delete env.KAVO_CREDSTORE_DB;
    delete env.TAMO_DIRECTORY_DB;
    const args = [suite.file, '--worker', id, ...(quick ? ['--quick'] : [])];
    this.child = spawn(paths.withPlatform, ['--empty', root, '--', process.execPath, ...args],
      { stdio: ['pipe', 'pipe', 'inherit'], env });
    this.pending = [];
    this.exited = new Promise((resolve) => this.child.on('close', (code) => {
      this.code = code;
      for (const waiter of this.pending.splice(0)) waiter.reject(this.failure());
      resolve(code);
    }));
    // A worker that died is reported by 'close'; writing to it must not
    // throw besides.
    this.child.stdin.on('error', () => {});
    this.child.on('error', (error) => {
      this.spawnError = error;
      for (const waiter of this.pending.splice(0)) waiter.reject(this.failure());
    });
    readline.createInterface({ input: this.child.stdout }).on('line', (line) => {
      const waiter = this.pending.shift();
      let message;
      try {
        message = JSON.parse(line);
      } catch {
        message = { error: `worker ${id} wrote: ${line}` };
      }
      if (!waiter) return;
      if (message.error) waiter.reject(new Error(`worker ${id}: ${message.error}`));
      else waiter.resolve(message);
    });
    this.ready = this.answer();
  }

  failure() {
    if (this.spawnError) return new Error(`cannot start the platform sandbox: ${this.spawnError.message}`);
    if (this.code === SKIPPED) {
      const error = new Error('the platform sandbox is not available on this machine');
      error.skipped = true;
      return error;
    }
    return new Error(`worker ${this.id} ended with status ${this.code}`);
  }

  answer() {
    return new Promise((resolve, reject) => this.pending.push({ resolve, reject }));
  }

  request(message) {
    const answer = this.answer();
    this.child.stdin.write(`${JSON.stringify(message)}\n`);
    return answer;
  }

  async stop() {
    if (this.spawnError) return undefined;
    if (this.code === undefined) {
      await this.request({ op: 'exit' }).catch(() => {});
      this.child.stdin.end();
    }
    return this.exited;
  }
}

// One timed series: a case on one side in one worker.
class Series {
  constructor(worker, caseName, side) {
    Object.assign(this, { worker, caseName, side });
    this.n = 1;                 // calls per batch
    this.warmMedians = [];      // median of every warm-up batch
    this.warmCalls = 0;
    this.warmNs = 0;
    this.settled = false;
    this.samples = [];          // every measured call, ns
    this.rounds = [];           // the samples of every measured round
  }

  async batch() {
    const { samples } = await this.worker.request({ op: 'batch', case: this.caseName, side: this.side, n: this.n });
    return samples;
  }
}

// The two windows of the last 2 x window batch medians agree within `settle`.
function hasSettled(series, options) {
  const m = series.warmMedians;
  const w = options.window;
  if (m.length < 2 * w) return false;
  if (series.warmCalls < options.minWarmCalls && series.warmNs < options.minWarmMs * 1e6) return false;
  const last = median(m.slice(-w));
  const before = median(m.slice(-2 * w, -w));
  return Math.abs(last - before) <= options.settle * before;
}

async function warmUp(series, options, order) {
  const start = performance.now();
  let rounds = 0;
  while (series.some((s) => !s.settled)) {
    if (performance.now() - start > options.maxWarmMs) break;
    for (const s of order(series)) {
      const samples = await s.batch();
      const m = median(samples);
      s.warmMedians.push(m);
      s.warmCalls += samples.length;
      s.warmNs += samples.reduce((a, b) => a + b, 0);
      // Batches of about batchMs, from the median of the last window, so
      // that one slow batch does not shrink the next ones.
      const typical = median(s.warmMedians.slice(-options.window));
      s.n = Math.max(1, Math.min(2000, Math.round((options.batchMs * 1e6) / Math.max(typical, 1))));
    }
    for (const s of series) s.settled = s.settled || hasSettled(s, options);
    rounds++;
  }
  return { rounds, ms: performance.now() - start };
}

async function measure(series, options, order) {
  const start = performance.now();
  let rounds = 0;
  const enough = () => rounds >= options.minRounds && series.every((s) => s.samples.length >= options.minSamples);
  while (!enough() && performance.now() - start <= options.maxMeasureMs) {
    for (const s of order(series)) {
      const samples = await s.batch();
      s.rounds.push(samples);
      for (const x of samples) s.samples.push(x);
    }
    rounds++;
  }
  return { rounds, ms: performance.now() - start };
}

function summarise(s) {
  const all = sorted(s.samples);
  return { median: median(all), p99: quantile(all, 0.99), calls: all.length, settled: s.settled };
}

// Runs one suite: starts its workers, warms and measures every series the
// rows name, stops the workers.  Returns the rows with their figures.
async function runSuite(suite, options) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), `kavo-bench-${suite.name}-`));
  const workers = new Map();
  try {
    for (const w of suite.workers) {
      const worker = new Worker(suite, w.id, work);
      workers.set(w.id, worker);
      // One at a time: building a large data set should not slow another's.
      const ready = await worker.ready;
      worker.overheadNs = ready.overheadNs;
      worker.info = ready.info;
    }
    const rows = suite.rows.filter((row) => workers.has(row.measured[0]) && workers.has(row.against[0]));
    const series = new Map();
    const seriesOf = ([id, caseName, side]) => {
      const key = `${id}/${caseName}/${side}`;
      if (!series.has(key)) series.set(key, new Series(workers.get(id), caseName, side));
      return series.get(key);
    };
    for (const row of rows) {
      row.measuredSeries = seriesOf(row.measured);
      row.againstSeries = seriesOf(row.against);
    }
    const all = [...series.values()];
    const order = shuffler(options.seed);
    const warm = await warmUp(all, options, order);
    const measured = await measure(all, options, order);
    for (const worker of workers.values()) await worker.request({ op: 'verify' });
    return {
      suite: suite.name,
      warm,
      measured,
      overheadNs: Math.max(...[...workers.values()].map((w) => w.overheadNs)),
      info: Object.fromEntries([...workers.values()].map((w) => [w.id, w.info])),
      rows: rows.map((row) => result(row)),
    };
  } finally {
    for (const worker of workers.values()) await worker.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

function result(row) {
  const a = summarise(row.measuredSeries);
  const b = summarise(row.againstSeries);
  // The same ratio in each fifth of the measured rounds: how much it moves
  // while both sides see the same load.
  const parts = [];
  const rounds = row.measuredSeries.rounds.length;
  for (let p = 0; p < SPREAD_PARTS; p++) {
    const from = Math.floor((p * rounds) / SPREAD_PARTS);
    const to = Math.floor(((p + 1) * rounds) / SPREAD_PARTS);
    if (to === from) continue;
    const part = (series) => median(series.rounds.slice(from, to).flat());
    parts.push(part(row.measuredSeries) / part(row.againstSeries));
  }
  const ratio = a.median / b.median;
  return {
    label: row.label,
    kind: row.kind,
    measured: a,
    against: b,
    ratio,
    spread: [Math.min(...parts), Math.max(...parts)],
    target: row.target,
    met: row.target === undefined ? undefined : ratio <= row.target,
  };
}

// ---- Report ---------------------------------------------------------------------

function duration(ns) {
  if (!Number.isFinite(ns)) return '-';
  if (ns >= 1e6) return `${(ns / 1e6).toFixed(2)} ms`;
  if (ns >= 1e3) return `${(ns / 1e3).toFixed(ns >= 1e5 ? 0 : 1)} us`;
  return `${ns.toFixed(0)} ns`;
}

function table(head, rows) {
  const widths = head.map((h, i) => Math.max(h.length, ...rows.map((r) => String(r[i]).length)));
  const line = (r) => r.map((c, i) => String(c)[i === 0 ? 'padEnd' : 'padStart'](widths[i])).join('  ').trimEnd();
  return [line(head), widths.map((w) => '-'.repeat(w)).join('  '), ...rows.map(line)].join('\n');
}

const tables = {
  ratio: ['module', 'reference', 'module / reference'],
  scale: ['larger set', 'smaller set', 'larger / smaller'],
  keys: ['token', 'key file', 'token / key file'],
};

function report(results) {
  let missed = 0;
  let unsettled = 0;
  for (const r of results) {
    console.log(`\n${r.suite}: warm-up ${r.warm.rounds} rounds (${(r.warm.ms / 1000).toFixed(1)} s), ` +
      `measured ${r.measured.rounds} rounds (${(r.measured.ms / 1000).toFixed(1)} s); ` +
      `timer overhead (up to ${r.overheadNs.toFixed(0)} ns) taken off every call`);
    for (const [kind, [m, a, ratioName]] of Object.entries(tables)) {
      const rows = r.rows.filter((row) => row.kind === kind);
      if (rows.length === 0) continue;
      console.log('');
      console.log(table(
        ['call', `${m} median`, 'p99', `${a} median`, 'p99', ratioName, `range in ${SPREAD_PARTS} parts`, 'calls', 'target', ''],
        rows.map((row) => {
          const settled = row.measured.settled && row.against.settled;
          unsettled += settled ? 0 : 1;
          if (row.met === false) missed++;
          return [row.label, duration(row.measured.median), duration(row.measured.p99),
            duration(row.against.median), duration(row.against.p99), `${row.ratio.toFixed(2)}x`,
            `${row.spread[0].toFixed(2)}-${row.spread[1].toFixed(2)}`,
            `${Math.min(row.measured.calls, row.against.calls)}`,
            row.target === undefined ? '-' : `<= ${row.target.toFixed(2)}x`,
            (row.met === undefined ? 'info' : row.met ? 'met' : 'MISSED') + (settled ? '' : ' (unsettled)')];
        })));
    }
  }
  console.log(`\nmedians and p99 per call over all measured calls; ratios of medians; ` +
    `range: lowest and highest ratio over ${SPREAD_PARTS} consecutive parts of the measured rounds`);
  if (unsettled) console.log(`${unsettled} row(s) did not settle within the warm-up bound (see --max-warm-s)`);
  console.log(`${missed} target(s) missed`);
  return missed;
}

// Entry point of a suite file: the worker when started with --worker,
// otherwise the parent running the suites given.
async function main(suites, argv = process.argv.slice(2)) {
  if (argv[0] === '--worker') {
    const suite = suites.find((s) => s.workers.some((w) => w.id === argv[1]));
    await serveWorker(suite, argv[1]);
    return;
  }
  const options = parseOptions(argv);
  const chosen = options.suites.length ? options.suites.map((name) => {
    const suite = suites.find((s) => s.name === name);
    if (!suite) fail(`unknown suite ${name}`);
    return suite;
  }) : suites;
  requireBuilt(paths.addon);
  requireBuilt(paths.provision);
  console.log(`node ${process.version}, ${os.cpus()[0].model}, ${os.cpus().length} cores, ` +
    `load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
  const results = [];
  for (const suite of chosen) {
    try {
      results.push(await runSuite(suite, options));
    } catch (error) {
      console.error(error.skipped ? `${suite.name}: skipped, ${error.message}` : error.stack);
      process.exitCode = error.skipped ? SKIPPED : 1;
      return;
    }
  }
  report(results);
  if (options.json) fs.writeFileSync(options.json, `${JSON.stringify({ options, results }, null, 2)}\n`);
}

module.exports = { main, median, quantile, shuffler, quick };
