'use strict';
// `kavo rewrap --to-token`: moves every stored credential from the machine
// keys of the key file (system/xmgrcfg.ks0) to those of the PKCS#11 token
// that vesk64.cfg names.  Runs inside the platform sandbox, on the mounted
// root.
//
// 1. The key file is renamed aside (xmgrcfg.ks0.pre-token), so that nothing
//    uses it any more; it is kept until every credential verifies.
// 2. A reader process sees the root as it was: a configuration without the
//    token entries and a key-store directory holding the aside key file
//    (both bind-mounted in a mount namespace of its own), and reads every
//    credential under the file keys.
// 3. This process stores each credential read again, under the token keys,
//    and reads it back; a credential the reader could not open must already
//    open under the token (moved by an earlier, interrupted run).
// 4. Only when every credential verifies is the aside key file removed.
// Each step can be interrupted: a new run picks up where the last stopped.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const platform = require('./platform');

const root = platform.mountedRoot;
const system = path.join(root, 'system');
const config = path.join(root, 'vesk64.cfg');
const keyFile = path.join(system, 'xmgrcfg.ks0');
const aside = `${keyFile}.pre-token`;
const tokenEntries = ['Pkcs11Module', 'Pkcs11TokenLabel', 'Pkcs11PinFile'];

class RewrapError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

function syncDirectory(directory) {
  const fd = fs.openSync(directory, 'r');
  try {
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
}

// The stored service names, as strings; names that are not UTF-8 cannot be
// asked for through the add-on and are reported instead.
function serviceNames() {
  const list = spawnSync(path.join(platform.paths.simulators, 'credstore-list'), { encoding: 'utf8' });
  if (list.status !== 0) {
    throw new RewrapError(`cannot list the stored credentials: ${list.stderr.trim()}`, 3);
  }
  const decoder = new TextDecoder('utf-8', { fatal: true });
  return list.stdout.split('\n').filter((line) => line !== '').map((hex) => {
    try {
      return { name: decoder.decode(Buffer.from(hex, 'hex')) };
    } catch {
      return { undecodable: hex };
    }
  });
}

// Reads every named credential under the key file's keys, in a process of
// its own that sees the root without the token (step 2).
function readUnderFileKeys(names) {
  const view = fs.mkdtempSync(path.join(system, '.rewrap-'));
  try {
    fs.linkSync(aside, path.join(view, 'xmgrcfg.ks0'));
    const withoutToken = fs.readFileSync(config, 'utf8').split('\n')
      .filter((line) => !tokenEntries.some((entry) => line.startsWith(`${entry}:`))).join('\n');
    fs.writeFileSync(path.join(view, 'vesk64.cfg'), withoutToken, { mode: 0o644 });
    const reader = `const addon = require(${JSON.stringify(platform.paths.addon)});
      const names = JSON.parse(require('node:fs').readFileSync(0, 'utf8'));
      process.stdout.write(JSON.stringify(names.map((name) => addon.arb_get_credentials(name) || null)));`;
    const run = spawnSync('unshare', ['--mount', '--propagation', 'private', '--', 'sh', '-c',
      'mount --bind "$1/vesk64.cfg" "$2/vesk64.cfg" && mount --bind "$1" "$2/system" && shift 2 && exec "$@"',
      'sh', view, root, process.execPath, '-e', reader],
    { input: JSON.stringify(names), encoding: 'utf8', maxBuffer: 64 << 20 });
    if (run.status !== 0) {
      throw new RewrapError(`cannot read the credentials under the key file: ${run.stderr.trim()}`, 3);
    }
    return JSON.parse(run.stdout);
  } finally {
    fs.rmSync(view, { recursive: true, force: true });
  }
}

async function rewrapToToken() {
  const text = fs.readFileSync(config, 'utf8');
  const missing = tokenEntries.filter((entry) => !new RegExp(`^${entry}:`, 'm').test(text));
  if (missing.length > 0) {
    throw new RewrapError(`the configuration names no token (${missing.join(', ')} missing); ` +
      'add the token entries to vesk64.cfg first (README: "Machine keys in a token")', 2);
  }
  if (fs.existsSync(keyFile) && fs.existsSync(aside)) {
    throw new RewrapError(`both ${keyFile} and ${aside} exist; keep the one that opens the ` +
      'credentials and remove the other by hand', 3);
  }
  // Step 1.
  if (fs.existsSync(keyFile)) {
    fs.renameSync(keyFile, aside);
    syncDirectory(system);
  }
  const entries = serviceNames();
  const names = entries.filter((e) => e.name !== undefined).map((e) => e.name);
  const failed = entries.filter((e) => e.name === undefined).map((e) => `(not UTF-8: ${e.undecodable})`);
  const read = fs.existsSync(aside) ? readUnderFileKeys(names) : names.map(() => null);
  // Step 3: the token keys are made, if need be, by the first call here.
  const kavo = platform.loadPromises();
  let moved = 0;
  let already = 0;
  for (const [i, name] of names.entries()) {
    const old = read[i];
    try {
      if (old !== null) {
        await kavo.arb_set_credentials(name, old.user_name, old.password);
      }
      const now = await kavo.arb_get_credentials(name);
      if (old !== null && (now.user_name !== old.user_name || now.password !== old.password)) {
        throw new Error('read back differently');
      }
      if (old !== null) moved++; else already++;
    } catch (error) {
      failed.push(`${name}: ${error.message}`);
    }
  }
  if (failed.length > 0) {
    const kept = fs.existsSync(aside) ? `; the key file stays at ${aside}` : '';
    throw new RewrapError(`${failed.length} credential(s) did not verify under the token${kept}:\n  ` +
      failed.join('\n  '), 3);
  }
  // Step 4.
  if (fs.existsSync(aside)) {
    fs.rmSync(aside);
    syncDirectory(system);
  }
  return `moved ${moved} credential(s) to the token keys, ${already} were there already; ` +
    'every credential verified and the key file is removed';
}

module.exports = { rewrapToToken, RewrapError };
