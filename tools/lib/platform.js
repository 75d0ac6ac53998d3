'use strict';
// Shared by tools/demo, tools/kavo, the benchmarks and the tests: the native
// files as lib/native.js locates them, running the calling script inside the
// platform sandbox, and laying out a small directory on a fresh root.
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

// Runs this script again inside the sandbox of `root` (provisioned by
// tools/kavo-platform when empty) and exits with its status.  `env` adds
// variables for the script, `preload` is a library for LD_PRELOAD that
// only the Node.js process gets; a script killed by a signal is reported,
// and the exit status is then `signalStatus`.
function reexecInSandbox(root, { env = {}, preload, signalStatus = 1 } = {}) {
  fs.mkdirSync(root, { recursive: true });
  const command = ['/usr/bin/env'];
  if (preload) {
    command.push(`LD_PRELOAD=${preload}`);
  }
  command.push(process.execPath, process.argv[1], ...process.argv.slice(2));
  const run = spawnSync(paths.withPlatform, [root, '--', ...command], {
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

// A few users, groups and security-equivalence lists, enough to show the
// SID and SEV lookups.  Written once, when the root has no directory yet.
const demoDirectory = [
  ['add-entry', 'cn=admins,ou=groups,o=corp'],
  ['add-entry', 'cn=mail-operators,ou=groups,o=corp'],
  ['add-entry', 'cn=backup,ou=roles,o=corp'],
  ['add-user', 'alice', 'cn=alice,ou=people,o=corp', 'S-1-5-21-3623811015-3361044348-30300820-1013'],
  ['add-user', 'bob', 'cn=bob,ou=people,o=corp', 'S-1-5-21-3623811015-3361044348-30300820-1014'],
  ['set-sev', 'alice', 'cn=admins,ou=groups,o=corp', 'cn=mail-operators,ou=groups,o=corp'],
  ['set-sev', 'bob', 'cn=mail-operators,ou=groups,o=corp', 'cn=backup,ou=roles,o=corp'],
];

// Returns true when it provisioned the directory, false when one existed.
function ensureDirectory() {
  const database = path.join(mountedRoot, 'directory.db');
  if (fs.existsSync(database)) {
    return false;
  }
  const run = spawnSync(requireBuilt(paths.provision), ['--db', database, 'batch'], {
    input: demoDirectory.map((fields) => fields.join('\t')).join('\n') + '\n',
    encoding: 'utf8',
  });
  if (run.status !== 0) {
    throw new Error(`tamo-provision failed: ${run.stderr}`);
  }
  return true;
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
  ensureDirectory,
  requireBuilt,
  loadAddon,
  loadPromises,
};
