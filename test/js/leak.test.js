'use strict';
// A shorter run of tools/leak-check: store-and-read round trips and failing
// calls of every function in one Node.js process, with the add-on and the
// simulators of the AddressSanitizer build and its leak checker preloaded.
// Fails on a leak whose stack passes through our code, a wrong result, a
// missing log record or a resident set that keeps growing.  Skipped, with
// the reason, when there is no ASan build ($KAVO_ASAN_BUILD_DIR, default
// <repo>/build-asan) or no platform sandbox.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const leakCheck = path.resolve(__dirname, '..', '..', 'tools', 'leak-check');
const SKIPPED = 77;

test('500 rounds of every call leave no leak and no growth', (t) => {
  const run = spawnSync(process.execPath, [leakCheck, '--rounds', String(process.env.KAVO_LEAK_ROUNDS || 500)], {
    encoding: 'utf8',
    timeout: 600000,
  });
  const output = `${run.stdout}${run.stderr}`;
  if (run.status === SKIPPED) {
    t.skip(output.trim().split('\n').pop());
    return;
  }
  assert.equal(run.error, undefined);
  assert.equal(run.status, 0, output);
  assert.match(run.stdout, /^leaks: 0 involving the add-on or the simulators/m);
});
