#!/usr/bin/env node
'use strict';
// Benchmark of get_sid_from_name and get_sev_list on the directory
// library's LDAP back end (the private slapd of tools/ldap-fixture), beside
// its SQLite back end on the same directory.
//
//   bench/js/directory-ldap.js [--users N] [--ops N] [--reps R]
//
// The directory holds N users (default 100,000) and two more, bench20 and
// bench200, with lists of 20 and 200 entries.  Both back ends run in one
// Node.js process in a platform sandbox; the library chooses LDAP while
// $TAMO_DIRECTORY_CONF names a configuration, SQLite otherwise.  The LDAP
// server is reached three ways:
//   ldapi://   its UNIX socket;
//   link       anonymous ldap:// through a delaying proxy of our own on
//              loopback (<build>/test-support/kavo-delay-proxy) that holds
//              every chunk 0.5 ms in each direction: a network with 1 ms
//              round trips (checked first with bare LDAP binds through it);
//   slow       ldap:// through a proxy that holds every answer 100 ms: a
//              server that takes 100 ms to answer, for the concurrency row,
//              where 8 worker threads, new each round, make one synchronous
//              SID lookup each, all at once.
// Each repetition times --ops calls per row (200 at most through the link)
// after a warm-up; the table gives the median and the 99th percentile per
// call over all repetitions, and for the concurrency row the time until the
// last of the 8 threads had its answer (median and worst over the rounds).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const TARGETS_MS = {
  'ldap.sid': 1,
  'ldap.sev20': 5,
  'link.sid': 1.5,
  'link.sev20': 4,
  'link.sev200': 8,
  concurrent: 250,
};
const LINK_OPS = 200;
const THREADS = 8;

function parseArgs(argv) {
  const options = { users: 100000, ops: 1000, reps: 5 };
  try {
    const { values } = require('node:util').parseArgs({ args: argv,
      options: { users: { type: 'string' }, ops: { type: 'string' }, reps: { type: 'string' } } });
    for (const [key, value] of Object.entries(values)) {
      options[key] = Number(value);
      if (!(options[key] > 0)) throw new Error(`--${key} needs a positive number`);
    }
  } catch (error) {
    console.error(`${error.message}\nusage: bench/js/directory-ldap.js [--users N] [--ops N] [--reps R]`);
    process.exit(2);
  }
  return options;
}

// ---- Inside the sandbox: the timed calls --------------------------------------

function quantile(sorted, q) {
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

// 8 worker threads, each one lookup as soon as all are ready; resolves
// with the milliseconds from the start signal until the last answer, for
// each thread's first lookup (a new thread: it connects and binds) and then
// its second.
async function concurrentLookups(addonPath) {
  const { Worker } = require('node:worker_threads');
  const source = `
    const { parentPort } = require('node:worker_threads');
    const addon = require(${JSON.stringify(addonPath)});
    parentPort.on('message', (round) => {
      const sid = addon.get_sid_from_name('user' + round);
      parentPort.postMessage(sid && sid.sid);
      if (round === 'close') parentPort.close();
    });
    parentPort.postMessage('ready');`;
  const workers = Array.from({ length: THREADS }, () => new Worker(source, { eval: true }));
  const next = (w) => new Promise((resolve) => w.once('message', resolve));
  await Promise.all(workers.map(next));
  const times = [];
  for (const round of [1, 2]) {
    const start = process.hrtime.bigint();
    const answers = workers.map(next);
    for (const w of workers) w.postMessage(round);
    const sids = await Promise.all(answers);
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
    if (sids.some((sid) => sid !== `S-1-5-21-1-2-3-${1000 + round}`)) throw new Error(`wrong answers: ${sids}`);
  }
  await Promise.all(workers.map((w) => w.terminate()));
  return times;
}

async function inner() {
  const { ops, reps, users, confs } = JSON.parse(process.env.KAVO_BENCH_DIRECTORY);
  const addon = require(process.env.KAVO_ADDON_PATH);
  const use = (backend) => {
    if (confs[backend]) process.env.TAMO_DIRECTORY_CONF = confs[backend];
    else delete process.env.TAMO_DIRECTORY_CONF;
  };
  const calls = {
    sid: (i) => addon.get_sid_from_name(`user${(i * 7919) % users}`),
    sev20: () => addon.get_sev_list('dorn', 'bench20'),
    sev200: () => addon.get_sev_list('dorn', 'bench200'),
  };
  const backends = ['ldap', 'sqlite', 'link'];
  const samples = {};
  for (const backend of backends) {
    use(backend);
    // Checked once, so that a broken setup cannot pass as a fast one.
    if (addon.get_sid_from_name('user1')?.sid !== 'S-1-5-21-1-2-3-1001' || calls.sev20()?.sev_count !== 20 ||
      calls.sev200()?.sev_count !== 200) {
      throw new Error(`the ${backend} back end does not answer as expected`);
    }
    const n = backend === 'link' ? Math.min(ops, LINK_OPS) : ops;
    for (const name of Object.keys(calls)) {
      samples[`${backend}.${name}`] = [];
      for (let i = 0; i < n; i++) calls[name](i);
    }
  }
  for (let rep = 0; rep < reps; rep++) {
    for (const backend of backends) {
      use(backend);
      const n = backend === 'link' ? Math.min(ops, LINK_OPS) : ops;
      for (const [name, call] of Object.entries(calls)) {
        for (let i = 0; i < n; i++) {
          const start = process.hrtime.bigint();
          const value = call(i + rep * n);
          samples[`${backend}.${name}`].push(Number(process.hrtime.bigint() - start) / 1e6);
          if (value === undefined) throw new Error(`${backend} ${name} failed`);
        }
      }
    }
  }
  use('slow');
  const rounds = { cold: [], warm: [] };
  for (let rep = 0; rep < reps; rep++) {
    const [cold, warm] = await concurrentLookups(process.env.KAVO_ADDON_PATH);
    rounds.cold.push(cold);
    rounds.warm.push(warm);
  }
  const result = {};
  for (const [name, values] of Object.entries(samples)) {
    values.sort((a, b) => a - b);
    result[name] = { median: quantile(values, 0.5), p99: quantile(values, 0.99) };
  }
  for (const [name, values] of Object.entries(rounds)) {
    values.sort((a, b) => a - b);
    result[`concurrent.${name}`] = { median: quantile(values, 0.5), p99: values[values.length - 1] };
  }
  fs.writeFileSync(process.env.KAVO_BENCH_RESULT, JSON.stringify(result));
}

// ---- Outside: data, server, sandbox, table -------------------------------------

function run(command, args, what, input) {
  const done = spawnSync(command, args, { input, encoding: 'utf8', maxBuffer: 1 << 30 });
  if (done.status !== 0) {
    throw new Error(`${what} failed (status ${done.status}): ${done.stderr}`);
  }
  return done.stdout;
}

// A delaying proxy (kavo-delay-proxy) in front of port; resolves with its
// port.  It ends when this process does (its standard input closes).
function startProxy(binary, port, toClientUs, toServerUs) {
  const { spawn } = require('node:child_process');
  const child = spawn(binary, [String(port), String(toClientUs), String(toServerUs)], { stdio: ['pipe', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    child.stdout.once('data', (line) => resolve({ port: Number(String(line).trim()), stop: () => child.stdin.end() }));
    child.once('exit', (code) => reject(new Error(`kavo-delay-proxy exited (${code})`)));
  });
}

// Median time of a bare LDAP round trip to port: anonymous binds, one
// at a time, on one connection.
async function bareRoundTripMs(port, count = 200) {
  const net = require('node:net');
  const socket = net.connect({ port, host: '127.0.0.1', noDelay: true });
  await new Promise((resolve, reject) => socket.once('connect', resolve).once('error', reject));
  const times = [];
  for (let id = 1; id <= count; id++) {
    // BindRequest { version 3, name "", simple "" } with message ID id.
    const request = Buffer.from([0x30, 0x0c, 0x02, 0x01, id % 128, 0x60, 0x07, 0x02, 0x01, 0x03, 0x04, 0x00, 0x80, 0x00]);
    const start = process.hrtime.bigint();
    const answered = new Promise((resolve) => socket.once('data', resolve));
    socket.write(request);
    await answered;
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  socket.destroy();
  times.sort((a, b) => a - b);
  return quantile(times, 0.5);
}

async function outer(options) {
  const { paths } = require('../../tools/lib/platform');
  const { startDirectoryServer, unavailableReason } = require('../../tools/lib/ldap-fixture');
  const skip = unavailableReason();
  const proxyBinary = path.join(paths.support, 'kavo-delay-proxy');
  if (skip || !fs.existsSync(proxyBinary)) {
    console.error(`directory-ldap: ${skip || `${proxyBinary} is not built (a build with tests: tools/build)`}`);
    process.exit(77);
  }
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'kavo-bench-dir-'));
  let server;
  const proxies = [];
  try {
    run(path.join(paths.repo, 'tools', 'provision-platform'), [root], 'provision-platform');
    const lines = [];
    for (let g = 0; g < 200; g++) lines.push(`add-entry\tcn=g${g},ou=groups,o=corp`);
    for (let u = 0; u < options.users; u++) {
      lines.push(`add-user\tuser${u}\tcn=user${u},ou=people,o=corp\tS-1-5-21-1-2-3-${u + 1000}`);
    }
    lines.push('add-user\tbench20\tcn=bench20,ou=people,o=corp\tS-1-5-21-1-2-3-999');
    lines.push(['set-sev', 'bench20', ...Array.from({ length: 20 }, (_, g) => `cn=g${19 - g},ou=groups,o=corp`)].join('\t'));
    lines.push('add-user\tbench200\tcn=bench200,ou=people,o=corp\tS-1-5-21-1-2-3-998');
    lines.push(['set-sev', 'bench200', ...Array.from({ length: 200 }, (_, g) => `cn=g${199 - g},ou=groups,o=corp`)].join('\t'));
    const database = path.join(root, 'directory.db');
    let t = Date.now();
    run(paths.provision, ['--db', database, 'batch'], 'tamo-provision', `${lines.join('\n')}\n`);
    console.log(`directory of ${options.users + 2} users written in ${Date.now() - t} ms`);
    t = Date.now();
    // A port for slapd's TCP listener: one the kernel just handed out.
    const port = await new Promise((resolve) => {
      const probe = require('node:net').createServer().listen(0, '127.0.0.1', () => {
        const { port: chosen } = probe.address();
        probe.close(() => resolve(chosen));
      });
    });
    server = startDirectoryServer({ database, base: 'o=corp', port });
    console.log(`exported and loaded into slapd in ${Date.now() - t} ms (${server.uri}, ${server.tcpUri})`);
    const link = await startProxy(proxyBinary, port, 500, 500);
    const slow = await startProxy(proxyBinary, port, 100000, 0);
    proxies.push(link, slow);
    const direct = await bareRoundTripMs(port);
    const bare = await bareRoundTripMs(link.port);
    console.log(`bare LDAP round trip through the 0.5 ms + 0.5 ms proxy: ${bare.toFixed(3)} ms, direct ${direct.toFixed(3)} ms (medians of 200)`);
    if (bare < 0.9 || bare > 1.5) throw new Error(`the proxy's round trip is ${bare} ms, not about 1 ms`);
    const confs = {
      ldap: server.directoryConf(),
      link: server.directoryConf({ uri: `ldap://127.0.0.1:${link.port}` }),
      slow: server.directoryConf({ uri: `ldap://127.0.0.1:${slow.port}` }),
    };
    for (const [name, text] of Object.entries(confs)) {
      fs.writeFileSync(path.join(root, `${name}.conf`), text, { mode: 0o644 });
      confs[name] = `/etc/opt/zorvex/${name}.conf`;
    }

    const result = path.join(root, 'result.json');
    const sandbox = spawnSync(paths.withPlatform, [root, '--', process.execPath, __filename, '--inner'], {
      stdio: 'inherit',
      env: {
        ...process.env,
        KAVO_ADDON_PATH: paths.addon,
        KAVO_BENCH_RESULT: result,
        KAVO_BENCH_DIRECTORY: JSON.stringify({ ...options, confs }),
      },
    });
    if (sandbox.status !== 0) {
      throw new Error(`the sandboxed run failed (status ${sandbox.status})`);
    }
    report(JSON.parse(fs.readFileSync(result, 'utf8')), options, bare, direct);
  } finally {
    for (const proxy of proxies) proxy.stop();
    if (server) server.remove();
    fs.rmSync(root, { recursive: true, force: true });
  }
}

function report(result, options, bare, direct) {
  const ms = (value) => `${value.toFixed(3)} ms`;
  console.log(`\n${options.users} users, ${options.reps} x ${options.ops} calls per row ` +
    `(${Math.min(options.ops, LINK_OPS)} through the link), ${os.cpus()[0].model}`);
  console.log(`link: anonymous ldap:// through the proxy, bare round trip ${ms(bare)} (without the proxy ${ms(direct)})`);
  console.log('call                        via        median        p99 (worst)   SQLite median  target (median)');
  let met = true;
  const rows = [
    ['sid', 'get_sid_from_name'],
    ['sev20', 'get_sev_list, 20 entries'],
    ['sev200', 'get_sev_list, 200 entries'],
  ];
  for (const via of ['ldap', 'link']) {
    for (const [name, label] of rows) {
      const row = result[`${via}.${name}`];
      const target = TARGETS_MS[`${via}.${name}`];
      const ok = target === undefined || row.median <= target;
      met = met && ok;
      console.log(`${label.padEnd(28)}${(via === 'ldap' ? 'ldapi://' : 'link').padEnd(11)}${ms(row.median).padEnd(14)}` +
        `${ms(row.p99).padEnd(14)}${ms(result[`sqlite.${name}`].median).padEnd(15)}` +
        `${target === undefined ? '' : `<= ${target} ms ${ok ? 'met' : 'MISSED'}`}`);
    }
  }
  for (const [name, label] of [['cold', 'new threads: connect, bind, search'], ['warm', 'the same threads again']]) {
    const row = result[`concurrent.${name}`];
    const ok = name !== 'cold' || row.median <= TARGETS_MS.concurrent;
    met = met && ok;
    console.log(`${THREADS} threads at once, 100 ms answers (${label}): median ${ms(row.median)}, worst ${ms(row.p99)}` +
      `${name === 'cold' ? `, target <= ${TARGETS_MS.concurrent} ms ${ok ? 'met' : 'MISSED'}` : ''}`);
  }
  if (!met) process.exitCode = 1;
}

if (process.argv.includes('--inner')) {
  inner().catch((error) => {
    console.error(error);
    process.exit(1);
  });
} else {
  outer(parseArgs(process.argv.slice(2))).catch((error) => {
    console.error(error);
    process.exit(1);
  });
}
