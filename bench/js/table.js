#!/usr/bin/env node
'use strict';
// Prints the Markdown table of bench/README.md from the --json reports of
// one or more runs of bench/js/run: per row the medians, p99 and ratio of
// each run, and whether every run met the target; with --targets only the
// rows that have a target.
//   node bench/js/table.js [--targets] RUN1.json [RUN2.json...]
const fs = require('node:fs');
const { parseArgs } = require('node:util');

let onlyTargets;
let files = [];
try {
  const { values, positionals } = parseArgs({ options: { targets: { type: 'boolean' } }, allowPositionals: true });
  onlyTargets = !!values.targets;
  files = positionals;
} catch (error) {
  console.error(error.message);
}
if (files.length === 0) {
  console.error('usage: node bench/js/table.js [--targets] RUN1.json [RUN2.json...]');
  process.exit(2);
}
const runs = files.map((file) => JSON.parse(fs.readFileSync(file, 'utf8')));

function duration(ns) {
  if (ns >= 1e6) return `${(ns / 1e6).toFixed(2)} ms`;
  if (ns >= 1e3) return `${(ns / 1e3).toFixed(ns >= 1e5 ? 0 : 1)} us`;
  return `${ns.toFixed(0)} ns`;
}

// Rows by suite and label, in the order of the first run.
const rows = runs[0].results.flatMap((suite) => suite.rows.map((row) => ({ suite: suite.suite, row })));
const find = (run, suite, label) =>
  run.results.find((s) => s.suite === suite)?.rows.find((r) => r.label === label);

const per = (cells) => cells.join(' / ');
console.log('| call | measured: median (p99) | compared with: median (p99) | ratio | range | target | |');
console.log('|---|---|---|---|---|---|---|');
for (const { suite, row } of rows) {
  if (onlyTargets && row.target === undefined) continue;
  const all = runs.map((run) => find(run, suite, row.label)).filter(Boolean);
  const verdict = row.target === undefined ? 'info'
    : all.every((r) => r.met) ? `met in ${all.length}` : `missed in ${all.filter((r) => !r.met).length} of ${all.length}`;
  console.log(`| ${row.label}${row.kind === 'scale' ? ' (scale)' : ''} ` +
    `| ${per(all.map((r) => `${duration(r.measured.median)} (${duration(r.measured.p99)})`))} ` +
    `| ${per(all.map((r) => `${duration(r.against.median)} (${duration(r.against.p99)})`))} ` +
    `| ${per(all.map((r) => `${r.ratio.toFixed(2)}x`))} ` +
    `| ${per(all.map((r) => `${r.spread[0].toFixed(2)}-${r.spread[1].toFixed(2)}`))} ` +
    `| ${row.target === undefined ? '-' : `<= ${row.target}x`} | ${verdict} |`);
}
