'use strict';
// Shared by tools/demo, tools/kavo, the benchmarks and the tests: the native
// files as lib/native.js locates them, and running the calling script inside
// the platform sandbox (tools/kavo-platform, which lays out a fresh root).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const native = require('../../lib/native');

const repo = native.packageDir;
const inside = (dir, name) => (dir ? path.join(dir, name) : null);
// A file of a folder that is not built is null; requireBuilt() says so.
const paths = {
  repo,
  build: native.buildDir,
  addon: inside(native.binaryDir, 'kavoInterface.node'),
  simulators: native.simulatorDir,
  provision: inside(native.simulatorDir, 'tamo-provision'),
  syslogShim: inside(native.supportDir, 'libkavo_syslog_capture.so'),
  support: native.supportDir,
  withPlatform: path.join(repo, 'tools', 'kavo-platform'),
  provisionPlatform: path.join(repo, 'tools', 'provision-platform'),
  ldapFixture: path.join(repo, 'tools', 'ldap-fixture'),
  defaultRoot: path.join(repo, '.platform'),
};
// Inside the sandbox the root is always mounted here.
const mountedRoot = '/etc/opt/zorvex';

// True when this process already runs inside the sandbox of `root`.
function insideSandbox(root) {
  return process.env.KAVO_PLATFORM_ROOT === path.resolve(root) &&
    fs.existsSync(path.join(mountedRoot, 'vesk64.cfg'));
}

// Runs this script again inside the sandbox of `root` (laid out by
// tools/kavo-platform when empty, with the demo directory unless `empty`;
// never laid out with `asIs`) and exits with its status.  `env` adds
// variables for the script, `preload` is a library for LD_PRELOAD that
// only the Node.js process gets; a script killed by a signal is reported,
// and the exit status is then `signalStatus`.
function reexecInSandbox(root, { env = {}, preload, signalStatus = 1, empty = false, asIs = false } = {}) {
  const options = [...(empty ? ['--empty'] : []), ...(asIs ? ['--as-is'] : [])];
  const command = ['/usr/bin/env'];
  if (preload) {
    command.push(`LD_PRELOAD=${preload}`);
  }
  command.push(process.execPath, process.argv[1], ...process.argv.slice(2));
  const run = spawnSync(paths.withPlatform, [...options, root, '--', ...command], {
    stdio: 'inherit',
    env: { ...process.env, KAVO_PLATFORM_LIBS: requireBuilt(paths.simulators), ...env },
  });
  if (run.error) {
    console.error(`cannot start the platform sandbox: ${run.error.message}`);
    process.exit(1);
  }
  if (run.status === 77) {
    console.error('the platform sandbox is not available on this machine (see the message above)');
  }
  if (run.status === null) {
    console.error(`${path.basename(process.argv[1])}: killed by ${run.signal}`);
    process.exit(signalStatus);
  }
  process.exit(run.status);
}

// The file, or the exit of a tool that cannot run without it.
function requireBuilt(file) {
  try {
    return native.requireBuilt(file);
  } catch (error) {
    console.error(error.message);
    process.exit(1);
  }
  return undefined;
}

// The package entry, as an application gets it.
function loadAddon() {
  requireBuilt(paths.addon);
  return require('../../index.js');
}

// The Promise API, with its coded errors.
function loadPromises() {
  requireBuilt(paths.addon);
  return require('../../promises.js');
}

module.exports = {
  paths,
  mountedRoot,
  insideSandbox,
  reexecInSandbox,
  requireBuilt,
  loadAddon,
  loadPromises,
};
