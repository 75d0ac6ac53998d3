'use strict';
// The add-on loaded in several worker threads of one process at once, each
// thread calling all four functions in a loop against the real simulators.
// The protection layer's state and the cryptographic session are shared by
// every thread, so the module serialises credential requests; without that,
// one thread's end of request closes the session under another's work.
const test = require('node:test');
const assert = require('node:assert/strict');
const h = require('./support/harness');

const WORKERS = 4;
const ROUNDS = Number(process.env.KAVO_WORKER_ROUNDS) || 25;
const ALICE_SID = 'S-1-5-21-3623811015-3361044348-30300820-1013';
const ALICE_SEV = { sev_count: 2, group0: 'cn=group1,o=corp', group1: 'cn=group0,o=corp' };

// Runs inside each worker thread (sent as source text).  Every result is
// checked against what this thread knows must be there; a call that yields
// undefined is counted, so the parent can match it with its log record.
function workerMain() {
  const { parentPort, workerData } = require('node:worker_threads');
  const addon = require(process.env.KAVO_ADDON_PATH);
  const { id, rounds, aliceSid, aliceSev } = workerData;
  const user = `user-${id}`;
  const failed = { set: 0, get: 0, sid: 0, sev: 0 };
  const anomalies = [];
  let lastOwn;
  let lastShared;
  const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

  for (let i = 0; i < rounds; i++) {
    // Lengths vary so that blobs of several cipher block counts are made.
    const own = `own-${id}-${i}-${'\u00e9'.repeat(i % 7)}${'x'.repeat((i * 13) % 90)}`;
    const set = addon.arb_set_credentials(`svc-${id}`, user, own);
    if (set === undefined) failed.set++;
    else if (!same(set, { status: 'OK' })) anomalies.push({ set });
    else lastOwn = own;

    // Only this thread writes its own service: it must read back exactly
    // what it stored last.
    const got = addon.arb_get_credentials(`svc-${id}`);
    if (got === undefined) failed.get++;
    else if (!same(got, { user_name: user, password: lastOwn })) anomalies.push({ own: got, expected: lastOwn });

    const shared = `shared-${id}-${i}`;
    const setShared = addon.arb_set_credentials('svc-shared', user, shared);
    if (setShared === undefined) failed.set++;
    else lastShared = shared;

    // Every thread writes the shared service: whichever value is read, its
    // user name and password must come from the same store request.
    const gotShared = addon.arb_get_credentials('svc-shared');
    if (gotShared === undefined) {
      failed.get++;
    } else {
      const writer = /^user-(\d+)$/.exec(gotShared.user_name);
      if (!writer || !new RegExp(`^shared-${writer[1]}-\\d+$`).test(gotShared.password)) {
        anomalies.push({ shared: gotShared });
      }
    }

    const sid = addon.get_sid_from_name('alice');
    if (sid === undefined) failed.sid++;
    else if (!same(sid, { sid: aliceSid })) anomalies.push({ sid });
    const sev = addon.get_sev_list('dorn', 'alice');
    if (sev === undefined) failed.sev++;
    else if (!same(sev, aliceSev)) anomalies.push({ sev });

    // Calls that must fail, interleaved with the others.
    if (addon.get_sid_from_name('nobody') !== undefined) anomalies.push('sid of an unknown user');
    if (addon.get_sev_list('ad', 'alice') !== undefined) anomalies.push('sev list of type ad');
    if (addon.arb_get_credentials(`never-${id}-${i}`) !== undefined) anomalies.push('unknown service');
  }
  parentPort.postMessage({ id, failed, anomalies, lastOwn, lastShared });
}

// Runs in the sandboxed child: starts the workers, waits for all of them,
// then reads the final stored values from the main thread.
async function runWorkers(addon, source, count, data) {
  const { Worker } = require('node:worker_threads');
  const reports = await Promise.all(Array.from({ length: count }, (_, id) => new Promise((resolve, reject) => {
    const worker = new Worker(`(${source})()`, { eval: true, workerData: { ...data, id } });
    let report;
    worker.on('message', (message) => { report = message; });
    worker.on('error', reject);
    worker.on('exit', (code) => (code === 0 && report ? resolve(report) : reject(new Error(`worker ${id} exit ${code}`))));
  })));
  const final = {
    own: reports.map((r) => addon.arb_get_credentials(`svc-${r.id}`)),
    shared: addon.arb_get_credentials('svc-shared'),
  };
  return { reports, final };
}

test('four worker threads calling every function at once', { skip: h.skipReason }, () => {
  const platform = h.createPlatform({
    directory: [
      ['add-entry', 'cn=group0,o=corp'],
      ['add-entry', 'cn=group1,o=corp'],
      ['add-user', 'alice', 'cn=alice,o=corp', ALICE_SID],
      ['set-sev', 'alice', 'cn=group1,o=corp', 'cn=group0,o=corp'],
    ],
  });
  try {
    const run = h.runAddon(runWorkers, {
      platform,
      args: [workerMain.toString(), WORKERS, { rounds: ROUNDS, aliceSid: ALICE_SID, aliceSev: ALICE_SEV }],
      timeout: 300000,
    });
    assert.equal(run.type, 'object', run.error || run.stderr);
    const { reports, final } = run.value;

    const failed = { set: 0, get: 0, sid: 0, sev: 0 };
    for (const report of reports) {
      assert.deepEqual(report.anomalies, [], `worker ${report.id}`);
      for (const key of Object.keys(failed)) failed[key] += report.failed[key];
    }
    // Requests are serialised inside the module, so no valid call fails.
    assert.deepEqual(failed, { set: 0, get: 0, sid: 0, sev: 0 });

    // The last value each thread stored is what its service holds; the
    // shared service holds the last value of one of the threads.
    reports.forEach((report, i) => {
      assert.deepEqual(final.own[i], { user_name: `user-${report.id}`, password: report.lastOwn });
    });
    assert.ok(reports.some((r) => final.shared.user_name === `user-${r.id}` && final.shared.password === r.lastShared),
      JSON.stringify(final.shared));

    // One start-up line per load, and exactly the failure records of the
    // calls that had to fail.
    const startups = run.syslog.filter((r) => r.level === h.LOG_INFO && h.startupLine.test(r.message));
    assert.equal(startups.length, WORKERS + 1);
    const records = h.calls(run);
    for (const record of records) assert.equal(record.level, h.LOG_ERR, record.message);
    const count = (fn, text) => records.filter((r) => h.mfa(fn, text).test(r.message)).length;
    const expected = WORKERS * ROUNDS;
    assert.equal(count('get_sid_from_name', 'get_sid_from_name: tamolib_get_userinfo_from_name failed'), expected);
    assert.equal(count('get_sev_list', 'Getting SEV list for AD user is not supported'), expected);
    assert.equal(count('load_creds_from_arb', 'Service entry <never-0-0> not found in ARB'), 1);
    assert.equal(count('arb_get_credentials', 'load_creds_from_arb failed'), expected);
    assert.equal(records.length, 4 * expected, JSON.stringify(records.slice(0, 10)));
  } finally {
    h.removePlatform(platform);
  }
});
