'use strict';
/*
 * Harness for the JavaScript tests of the add-on.
 *
 * Each run starts a child Node.js process inside tools/kavo-platform, so the
 * child sees a private platform root at /etc/opt/zorvex, with the syslog
 * capture shim preloaded; the child loads the add-on, runs a script and
 * reports its result.  The parent gets the result and every system-log
 * record the module wrote, with its exact priority and text.
 *
 * API (const h = require('./support/harness')):
 *
 *   h.skipReason
 *       undefined when the sandbox works; otherwise a message saying why the
 *       tests cannot run.  Use it as a test option: test('x', { skip: h.skipReason }, ...)
 *       so that tests are reported as skipped, never silently passed.
 *
 *   h.createPlatform({ directory: [[cmd, ...args], ...], umask, token } = {}) -> dir
 *       Makes a fresh platform root (a new temporary directory), lays out
 *       its configuration with tools/provision-platform (run under the file
 *       creation mask `umask`, an octal string, when one is given), with
 *       `token` gives it a token (h.attachToken) and, when directory
 *       commands are given, fills its directory database with
 *       tamo-provision (see platform/tamo/tamo-provision.cpp), e.g.
 *         [['add-entry', 'cn=g1,o=corp'],
 *          ['add-user', 'alice', 'cn=alice,o=corp', 'S-1-5-21-1-2-3-1001'],
 *          ['set-sev', 'alice', 'cn=g1,o=corp', 'guid:00112233445566778899aabbccddeeff']]
 *   h.provisionDirectory(dir, commands) -> [stdout lines]
 *       Adds to the directory database of an existing platform root; the
 *       printed lines are the GUIDs of added entries, in order.
 *   h.attachToken(dir)
 *       Keeps the root's machine keys in a SoftHSM2 token of its own, in
 *       DIR-token beside it (tools/softhsm-token; a root that has a PIN file
 *       keeps it); every later h.runAddon on the root gets its SOFTHSM2_CONF.
 *   h.keyStores, h.tokenSkipReason
 *       ['file', 'token']: where the machine keys can be kept, for suites
 *       that run on both; the reason a token cannot be had here, or undefined.
 *   h.removePlatform(dir)         removes the root and its token, if any
 *
 *   h.runAddon(script, { platform, args, env, timeout, netns }) -> result
 *       script is a function (addon, ...args) => value, or the source of an
 *       async function body that sees `addon`, `args`, `loadAddon` and
 *       `require`.  It is run in the child; a function is sent as its source,
 *       so it must not use variables of the test file: pass data in `args`
 *       (JSON).  loadAddon() loads the add-on once more into a new module
 *       object (Node registers it again).  platform defaults to a new empty
 *       root that is removed afterwards; env adds variables for the child;
 *       netns, a network namespace's file (/proc/PID/ns/net), runs the
 *       child in that namespace (nsenter).
 *       The result is
 *         { type,      // typeof the script's value ('undefined' included)
 *           value,     // the value through JSON (absent for undefined)
 *           error,     // the stack when the script threw, else undefined
 *           syslog,    // [{ priority, level, facility, message }]
 *           status, stderr }
 *       The add-on's start-up line is part of syslog; h.calls(result) gives
 *       every other record (what the script's calls logged).  A child that does not report (crash, time
 *       out) throws, with its stderr.
 *
 *   h.mfa(fn, text) -> RegExp
 *       Matches one whole message "MFA-NAPI: <fn:LINE> text" with any line
 *       number; text is taken literally.
 *   h.readFailed(text), h.storeFailed(text) -> [RegExp, RegExp]
 *       The two lines of a failed read (store) of credentials: text from
 *       load_creds_from_arb (set_creds_in_arb), then the JavaScript
 *       function's own line naming it.
 *   h.errorLines(result) -> [message]
 *       The messages of h.calls(result), asserting that each is at LOG_ERR.
 *   h.assertErrorLines(result, [RegExp])
 *       Asserts that the error lines are exactly as many as the patterns and
 *       that each matches its own.
 *   h.LOG_ERR, h.LOG_INFO   the priorities 3 and 6.
 *   h.paths                 { repo, build, addon, simulators, support, provision, shim, withPlatform }
 *
 * The native files are the ones lib/native.js locates: those of the build
 * folder $KAVO_BUILD_DIR (absolute), default <repo>/build.  KAVO_KEEP_RUN=1 keeps each run's
 * work directory (script, result, syslog capture) in the temporary
 * directory for debugging.
 */
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// The build and tool locations are the ones the demo and the CLI use.
const { requireBuilt } = require('../../../lib/native');
const tools = require('../../../tools/lib/platform').paths;
const paths = {
  ...tools,
  shim: tools.syslogShim,
  softhsmToken: path.join(tools.repo, 'tools', 'softhsm-token'),
  child: path.join(__dirname, 'child.js'),
};

const LOG_ERR = 3;
const LOG_INFO = 6;
const SKIPPED = 77;

function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Asks the sandbox once, at load, whether a private mount namespace can be
// had here; tests skip with its message when it cannot.
function probeSandbox() {
  const dir = tempDir('kavo-probe-');
  try {
    const probe = spawnSync(paths.withPlatform, ['--empty', dir, '--', 'true'], { encoding: 'utf8' });
    if (probe.status === SKIPPED) {
      return `platform sandbox unavailable: ${probe.stderr.trim()}`;
    }
    if (probe.status !== 0) {
      return `platform sandbox failed (status ${probe.status}): ${probe.stderr.trim()}`;
    }
    return undefined;
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}
const skipReason = probeSandbox();

function provisionDirectory(dir, commands) {
  requireBuilt(paths.provision);
  const lines = commands.map((fields) => {
    for (const field of fields) {
      if (typeof field !== 'string' || /[\t\n]/.test(field)) {
        throw new Error(`directory command fields must be strings without TAB or newline: ${JSON.stringify(fields)}`);
      }
    }
    return fields.join('\t');
  });
  const run = spawnSync(paths.provision, ['--db', path.join(dir, 'directory.db'), 'batch'], {
    input: lines.join('\n') + '\n',
    encoding: 'utf8',
  });
  if (run.status !== 0) {
    throw new Error(`tamo-provision failed (status ${run.status}): ${run.stderr}`);
  }
  return run.stdout.split('\n').filter((line) => line !== '');
}

// The environment each root with a token needs: its token's SOFTHSM2_CONF.
const tokenEnvironments = new Map();

function attachToken(dir) {
  const run = spawnSync(paths.softhsmToken, [`${dir}-token`, dir], { encoding: 'utf8' });
  if (run.status !== 0) {
    throw new Error(`softhsm-token failed (status ${run.status}): ${run.stderr}`);
  }
  const [name, value] = run.stdout.trim().split(/=(.*)/s);
  tokenEnvironments.set(dir, { [name]: value });
}

// Whether SoftHSM2 is installed (tools/setup-deps installs it).
function probeToken() {
  const run = spawnSync('softhsm2-util', ['--version'], { encoding: 'utf8' });
  return run.status === 0 ? undefined : 'SoftHSM2 is not installed (tools/setup-deps installs softhsm2)';
}
const tokenSkipReason = skipReason || probeToken();

function createPlatform({ directory, umask, token } = {}) {
  if (umask !== undefined && !/^[0-7]{1,4}$/.test(umask)) {
    throw new Error(`umask must be an octal string: ${umask}`);
  }
  const dir = tempDir('kavo-platform-');
  const laid = umask === undefined
    ? spawnSync(paths.provisionPlatform, [dir], { encoding: 'utf8' })
    : spawnSync('/bin/sh', ['-c', `umask ${umask} && exec "$0" "$1"`, paths.provisionPlatform, dir],
      { encoding: 'utf8' });
  if (laid.status !== 0) {
    throw new Error(`provision-platform failed: ${laid.stderr}`);
  }
  provisionDirectory(dir, directory || []);
  if (token) {
    attachToken(dir);
  }
  return dir;
}

function removePlatform(dir) {
  fs.rmSync(dir, { recursive: true, force: true });
  if (tokenEnvironments.delete(dir)) {
    fs.rmSync(`${dir}-token`, { recursive: true, force: true });
  }
}

// Reads the shim's records: "<priority> <length>\n<message>\n" each.
function parseSyslog(file) {
  if (!fs.existsSync(file)) {
    return [];
  }
  const data = fs.readFileSync(file);
  const records = [];
  let at = 0;
  while (at < data.length) {
    const eol = data.indexOf(0x0a, at);
    const header = data.subarray(at, eol).toString('ascii').split(' ');
    const priority = Number(header[0]);
    const length = Number(header[1]);
    const start = eol + 1;
    if (eol < 0 || header.length !== 2 || !Number.isInteger(length) || start + length + 1 > data.length) {
      throw new Error(`malformed syslog capture at byte ${at} of ${file}`);
    }
    records.push({
      priority,
      level: priority & 7,
      facility: priority & ~7,
      message: data.subarray(start, start + length).toString('utf8'),
    });
    at = start + length + 1;
  }
  return records;
}

function runAddon(script, { platform, args = [], env = {}, timeout = 60000, netns } = {}) {
  requireBuilt(paths.addon);
  requireBuilt(paths.shim);
  const work = tempDir('kavo-run-');
  const ownPlatform = platform === undefined;
  const root = ownPlatform ? createPlatform() : platform;
  try {
    const body = typeof script === 'function' ? `return (${script.toString()})(addon, ...args);` : script;
    const scriptFile = path.join(work, 'script.json');
    fs.writeFileSync(scriptFile, JSON.stringify({ body, args }));
    const resultFile = path.join(work, 'result.json');
    const syslogFile = path.join(work, 'syslog');

    const childEnv = { ...process.env };
    // The child uses the default places under /etc/opt/zorvex unless the
    // test says otherwise.
    delete childEnv.TAMO_DIRECTORY_DB;
    delete childEnv.KAVO_CREDSTORE_DB;
    delete childEnv.LD_PRELOAD;
    delete childEnv.NODE_OPTIONS;
    delete childEnv.NODE_TEST_CONTEXT;
    childEnv.KAVO_PLATFORM_LIBS = paths.simulators;
    Object.assign(childEnv, tokenEnvironments.get(root), env, {
      KAVO_ADDON_PATH: paths.addon,
      KAVO_SCRIPT_FILE: scriptFile,
      KAVO_RESULT_FILE: resultFile,
    });
    // Only the Node.js child gets the shim, not the sandbox's own tools.
    const command = [paths.withPlatform, root, '--', '/usr/bin/env', `LD_PRELOAD=${paths.shim}`,
      `KAVO_SYSLOG_CAPTURE=${syslogFile}`, process.execPath, paths.child];
    if (netns) command.unshift('nsenter', `--net=${netns}`, '--');
    const run = spawnSync(command[0], command.slice(1), { env: childEnv, encoding: 'utf8', timeout });
    if (run.error) {
      throw new Error(`child failed to run: ${run.error.message}\n${run.stderr || ''}`);
    }
    if (run.status === SKIPPED) {
      throw new Error(`platform sandbox became unavailable: ${run.stderr}`);
    }
    if (!fs.existsSync(resultFile)) {
      throw new Error(`child gave no result (status ${run.status}, signal ${run.signal}):\n${run.stderr}`);
    }
    const reported = JSON.parse(fs.readFileSync(resultFile, 'utf8'));
    return {
      ...reported,
      syslog: parseSyslog(syslogFile),
      status: run.status,
      stderr: run.stderr,
    };
  } finally {
    if (!process.env.KAVO_KEEP_RUN) {
      fs.rmSync(work, { recursive: true, force: true });
    }
    if (ownPlatform) {
      removePlatform(root);
    }
  }
}

function escapeRegExp(text) {
  return text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
}

function mfa(fn, text) {
  return new RegExp(`^MFA-NAPI: <${escapeRegExp(fn)}:\\d+> ${escapeRegExp(text)}$`);
}

function readFailed(text) {
  return [mfa('load_creds_from_arb', text), mfa('arb_get_credentials', 'load_creds_from_arb failed')];
}

function storeFailed(text) {
  return [mfa('set_creds_in_arb', text), mfa('arb_set_credentials', 'set_creds_in_arb failed')];
}

const startupLine = mfa('Init', 'KAVO-MFA napi have been initialised');

// Every record except the module's start-up line(s): what the script's
// calls logged.
function calls(result) {
  return result.syslog.filter((r) => !(r.level === LOG_INFO && startupLine.test(r.message)));
}

function errorLines(result) {
  const records = calls(result);
  for (const record of records) {
    assert.equal(record.level, LOG_ERR, record.message);
  }
  return records.map((record) => record.message);
}

function assertErrorLines(result, expected) {
  const lines = errorLines(result);
  assert.equal(lines.length, expected.length, `log: ${JSON.stringify(lines)}`);
  expected.forEach((pattern, i) => assert.match(lines[i], pattern));
}

module.exports = {
  skipReason,
  tokenSkipReason,
  keyStores: ['file', 'token'],
  attachToken,
  paths,
  LOG_ERR,
  LOG_INFO,
  createPlatform,
  provisionDirectory,
  removePlatform,
  runAddon,
  mfa,
  readFailed,
  storeFailed,
  startupLine,
  calls,
  errorLines,
  assertErrorLines,
};
