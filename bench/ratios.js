#!/usr/bin/env node
// Reads Google Benchmark JSON reports and prints, for every pair
// "<what>/module/<arg>" and "<what>/reference/<arg>" measured in the same
// run, the module's speed relative to the reference (reference time divided
// by module time: 1.00 is equal, below 1 slower), against the target where
// one is set.  With repetitions, the medians are compared, and the spread
// of each side is its coefficient of variation over the repetitions (the
// "cv" aggregate) when the report has it.
//   node bench/ratios.js REPORT.json...
'use strict';
const fs = require('fs');

// Lowest acceptable speed ratio per benchmark family.  The OS layer's
// pairs are judged by bench_osa itself, block by block; the protection
// layer's pair is shown without a target.
const targets = {};

const runs = new Map();
const cvs = new Map();  // coefficient of variation (a fraction) per run name
for (const file of process.argv.slice(2)) {
  const report = JSON.parse(fs.readFileSync(file, 'utf8'));
  for (const b of report.benchmarks) {
    if (b.error_occurred) {
      runs.set(b.run_name || b.name, { error: b.error_message, family: 1e9, file });
      continue;
    }
    const aggregate = b.run_type === 'aggregate';
    const name = b.run_name || b.name;
    if (aggregate && b.aggregate_name === 'cv') {
      cvs.set(name, b.cpu_time);
      continue;
    }
    if (aggregate && b.aggregate_name !== 'median') continue;
    // A median wins over the single runs of the same benchmark.
    if (!aggregate && runs.has(name) && runs.get(name).median) continue;
    runs.set(name, { ns: toNs(b.cpu_time, b.time_unit), median: aggregate,
                     family: b.family_index === undefined ? 1e9 : b.family_index, file });
  }
}

function toNs(value, unit) {
  return value * { ns: 1, us: 1e3, ms: 1e6, s: 1e9 }[unit || 'ns'];
}

function fmt(ns) {
  if (ns >= 1e6) return (ns / 1e6).toFixed(2) + ' ms';
  if (ns >= 1e3) return (ns / 1e3).toFixed(2) + ' us';
  return ns.toFixed(1) + ' ns';
}

// Pairs in the order they were registered, report by report, whatever order
// random interleaving ran them in.
const files = process.argv.slice(2);
const ordered = [...runs.entries()].sort((x, y) =>
  files.indexOf(x[1].file) - files.indexOf(y[1].file) || x[1].family - y[1].family ||
  argOf(x[0]) - argOf(y[0]));

function argOf(name) {
  const m = /\/(\d+)$/.exec(name);
  return m ? Number(m[1]) : 0;
}

function spreadText(moduleName, refName) {
  const pct = (name) => (cvs.has(name) ? `${(cvs.get(name) * 100).toFixed(1)}%` : '-');
  return cvs.has(moduleName) || cvs.has(refName) ? `${pct(moduleName)} / ${pct(refName)}` : '-';
}

function ratioText(r) {
  return (r >= 0.1 ? r.toFixed(2) : r.toPrecision(2)) + 'x';
}

const rows = [];
let missed = 0;
for (const [name, run] of ordered) {
  const m = /^([^/]+)\/module(\/.*)?$/.exec(name);
  if (!m) continue;
  const refName = `${m[1]}/reference${m[2] || ''}`;
  const ref = runs.get(refName);
  const pair = m[1] + (m[2] || '');
  if (run.error || !ref || ref.error) {
    rows.push([pair, run.error ? 'error' : fmt(run.ns), ref ? (ref.error ? 'error' : fmt(ref.ns)) : '-',
               '-', spreadText(name, refName), '-', run.error || (ref && ref.error) || 'info (no reference)']);
    continue;
  }
  const ratio = ref.ns / run.ns;
  const target = targets[m[1]];
  let verdict = 'info';
  if (target !== undefined) {
    verdict = ratio >= target ? 'met' : 'MISSED';
    if (ratio < target) missed++;
  }
  rows.push([pair, fmt(run.ns), fmt(ref.ns), ratioText(ratio), spreadText(name, refName),
             target === undefined ? '-' : '>= ' + target.toFixed(2) + 'x', verdict]);
}

const head = ['pair', 'module', 'reference', 'speed ratio', 'cv module / ref', 'target', ''];
const widths = head.map((h, i) => Math.max(h.length, ...rows.map((r) => String(r[i]).length)));
const line = (r) => r.map((c, i) => String(c).padEnd(widths[i])).join('  ').trimEnd();
console.log(line(head));
console.log(widths.map((w) => '-'.repeat(w)).join('  '));
rows.forEach((r) => console.log(line(r)));
console.log('\nspeed ratio = reference time / module time (CPU time, medians of the repetitions);');
console.log('cv: coefficient of variation of each side over the repetitions;');
console.log(`${missed} target(s) missed`);
