#!/usr/bin/env node
'use strict';
// Benchmark of get_sid_from_name and get_sev_list on the directory
// library's LDAP back end (the private slapd of tools/ldap-fixture, over
// ldapi://), beside its SQLite back end on the same directory.
//
//   bench/js/directory-ldap.js [--users N] [--ops N] [--reps R]
//
// The directory holds N users (default 100,000) and one more user, bench20,
// with a list of 20 entries.  Both back ends run in one Node.js process in a
// platform sandbox; the library chooses LDAP while $TAMO_DIRECTORY_CONF names
// a configuration, SQLite otherwise.  Each repetition times --ops calls on
// LDAP, then on SQLite, after a warm-up; the table gives the median and the
// 99th percentile per call over all repetitions.  Targets on LDAP: SID
// lookup median <= 1 ms, 20-entry list median <= 5 ms.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const TARGETS_MS = { sid: 1, sev20: 5 };

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

function inner() {
  const { ops, reps, users, conf } = JSON.parse(process.env.KAVO_BENCH_DIRECTORY);
  const addon = require(process.env.KAVO_ADDON_PATH);
  const useLdap = (on) => {
    if (on) process.env.TAMO_DIRECTORY_CONF = conf;
    else delete process.env.TAMO_DIRECTORY_CONF;
  };
  const calls = {
    sid: (i) => addon.get_sid_from_name(`user${(i * 7919) % users}`),
    sev20: () => addon.get_sev_list('dorn', 'bench20'),
  };
  const samples = { ldap: { sid: [], sev20: [] }, sqlite: { sid: [], sev20: [] } };
  for (const backend of ['ldap', 'sqlite']) {
    useLdap(backend === 'ldap');
    // Checked once, so that a broken setup cannot pass as a fast one.
    if (addon.get_sid_from_name('user1')?.sid !== 'S-1-5-21-1-2-3-1001' || calls.sev20()?.sev_count !== 20) {
      throw new Error(`the ${backend} back end does not answer as expected`);
    }
    for (const name of Object.keys(calls)) for (let i = 0; i < ops; i++) calls[name](i);
  }
  for (let rep = 0; rep < reps; rep++) {
    for (const backend of ['ldap', 'sqlite']) {
      useLdap(backend === 'ldap');
      for (const [name, call] of Object.entries(calls)) {
        for (let i = 0; i < ops; i++) {
          const start = process.hrtime.bigint();
          const value = call(i + rep * ops);
          samples[backend][name].push(Number(process.hrtime.bigint() - start) / 1e6);
          if (value === undefined) throw new Error(`${backend} ${name} failed`);
        }
      }
    }
  }
  const result = {};
  for (const [backend, byCall] of Object.entries(samples)) {
    for (const [name, values] of Object.entries(byCall)) {
      values.sort((a, b) => a - b);
      result[`${backend}.${name}`] = { median: quantile(values, 0.5), p99: quantile(values, 0.99) };
    }
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

function outer(options) {
  const { paths } = require('../../tools/lib/platform');
  const { startDirectoryServer, unavailableReason } = require('../../tools/lib/ldap-fixture');
  const skip = unavailableReason();
  if (skip) {
    console.error(`directory-ldap: ${skip}`);
    process.exit(77);
  }
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'kavo-bench-dir-'));
  let server;
  try {
    run(path.join(paths.repo, 'tools', 'provision-platform'), [root], 'provision-platform');
    const lines = [];
    for (let g = 0; g < 20; g++) lines.push(`add-entry\tcn=g${g},ou=groups,o=corp`);
    for (let u = 0; u < options.users; u++) {
      lines.push(`add-user\tuser${u}\tcn=user${u},ou=people,o=corp\tS-1-5-21-1-2-3-${u + 1000}`);
    }
    lines.push('add-user\tbench20\tcn=bench20,ou=people,o=corp\tS-1-5-21-1-2-3-999');
    lines.push(['set-sev', 'bench20', ...Array.from({ length: 20 }, (_, g) => `cn=g${19 - g},ou=groups,o=corp`)].join('\t'));
    const database = path.join(root, 'directory.db');
    let t = Date.now();
    run(paths.provision, ['--db', database, 'batch'], 'tamo-provision', `${lines.join('\n')}\n`);
    console.log(`directory of ${options.users + 1} users written in ${Date.now() - t} ms`);
    t = Date.now();
    server = startDirectoryServer({ database, base: 'o=corp' });
    console.log(`exported and loaded into slapd in ${Date.now() - t} ms (${server.uri})`);
    fs.writeFileSync(path.join(root, 'ldap.conf'), server.directoryConf(), { mode: 0o644 });

    const result = path.join(root, 'result.json');
    const sandbox = spawnSync(paths.withPlatform, [root, '--', process.execPath, __filename, '--inner'], {
      stdio: 'inherit',
      env: {
        ...process.env,
        KAVO_ADDON_PATH: paths.addon,
        KAVO_BENCH_RESULT: result,
        KAVO_BENCH_DIRECTORY: JSON.stringify({ ...options, conf: '/etc/opt/zorvex/ldap.conf' }),
      },
    });
    if (sandbox.status !== 0) {
      throw new Error(`the sandboxed run failed (status ${sandbox.status})`);
    }
    report(JSON.parse(fs.readFileSync(result, 'utf8')), options);
  } finally {
    if (server) server.remove();
    fs.rmSync(root, { recursive: true, force: true });
  }
}

function report(result, options) {
  const ms = (value) => `${value.toFixed(3)} ms`;
  console.log(`\n${options.users} users, ${options.reps} x ${options.ops} calls per row, ${os.cpus()[0].model}`);
  console.log('call                      LDAP median   LDAP p99      SQLite median  SQLite p99    target (LDAP median)');
  let met = true;
  for (const [name, label] of [['sid', 'get_sid_from_name'], ['sev20', 'get_sev_list, 20 entries']]) {
    const ldap = result[`ldap.${name}`];
    const sqlite = result[`sqlite.${name}`];
    const ok = ldap.median <= TARGETS_MS[name];
    met = met && ok;
    console.log(`${label.padEnd(26)}${ms(ldap.median).padEnd(14)}${ms(ldap.p99).padEnd(14)}` +
      `${ms(sqlite.median).padEnd(15)}${ms(sqlite.p99).padEnd(14)}<= ${TARGETS_MS[name]} ms ${ok ? 'met' : 'MISSED'}`);
  }
  if (!met) process.exitCode = 1;
}

if (process.argv.includes('--inner')) {
  inner();
} else {
  outer(parseArgs(process.argv.slice(2)));
}
