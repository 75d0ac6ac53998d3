'use strict';
// kavo doctor: what is wrong with this host, or with the simulated platform
// that the command runs on.  It creates and changes nothing: it reads files,
// loads the add-on, and looks one login up in the directory, but never opens
// a session of the crypto service (which makes machine keys where there are
// none) and never calls the credential store (which makes its database).
//
// Each check is one row of CHECKS, run in that order on a shared context;
// it returns pass(detail), fail(detail, fix) or skip(detail) (not checked,
// with the reason, which fails nothing).  A new check is a new row, put where
// it belongs in the order.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = '/etc/opt/zorvex';
const CONFIG_FILE = path.join(ROOT, 'vesk64.cfg');
const LIBRARIES = ['libkavocredstore.so', 'libtamo.so.0', 'libpex2.so'];
// The login looked up to ask the directory; it need not exist.
const PROBE_LOGIN = 'kavo-doctor-probe';

const pass = (detail) => ({ status: 'pass', detail });
const fail = (detail, fix) => ({ status: 'fail', detail, fix });
const skip = (detail) => ({ status: 'skip', detail });

const octal = (mode) => `0${(mode & 0o777).toString(8).padStart(3, '0')}`;

// Inside kavo-platform the root is mounted at /etc/opt/zorvex; a fix names
// the folder the user knows, the one that is mounted there.
function hostPath(file) {
  const mounted = process.env.KAVO_PLATFORM_ROOT;
  if (mounted && (file === ROOT || file.startsWith(`${ROOT}/`))) {
    return path.join(mounted, file.slice(ROOT.length));
  }
  return file;
}

function statOf(file, follow = true) {
  try {
    return follow ? fs.statSync(file) : fs.lstatSync(file);
  } catch (error) {
    if (error.code === 'ENOENT' || error.code === 'ENOTDIR') return null;
    throw error;
  }
}

function canAccess(file, mode) {
  try {
    fs.accessSync(file, mode);
    return true;
  } catch {
    return false;
  }
}

// ---- 1. The platform libraries ------------------------------------------------

// The add-on is loaded as an application loads it; which file of each
// platform library the loader took is read from this process's mappings.
function checkLibraries(ctx) {
  const native = require('../../lib/native');
  try {
    require('../../lib/binding').addon();
  } catch (error) {
    const detail = error.message.replace(/ \(loader: [\s\S]*\)$/, '').replace(/ During development[\s\S]*$/, '');
    const fixes = {
      ERR_KAVO_PLATFORM_MISSING: 'install the platform\'s libraries; on a development machine check the simulated ' +
        'platform instead: kavo doctor --platform ./dev-platform',
      ERR_KAVO_PLATFORM_INCOMPATIBLE: 'install a version of the platform library that has the symbol',
      ERR_KAVO_NOT_BUILT: native.installed ? 'npm rebuild kavo-interface' : 'npm run build',
    };
    return fail(detail, fixes[error.code] ?? 'see the loader\'s message');
  }
  ctx.loaded = true;
  const mapped = fs.readFileSync('/proc/self/maps', 'utf8').split('\n')
    .map((line) => line.replace(/^(\S+\s+){5}/, '')).filter((file) => file.startsWith('/'));
  const simulators = process.env.KAVO_PLATFORM_LIBS || native.simulatorDir;
  const simulatorDir = simulators && fs.existsSync(simulators) ? fs.realpathSync(simulators) : null;
  const shown = [];
  for (const library of LIBRARIES) {
    const stem = library.replace(/\.so.*$/, '.so');
    const file = mapped.find((name) => path.basename(name).startsWith(stem));
    const ours = file !== undefined && simulatorDir !== null && path.dirname(file) === simulatorDir;
    ctx.libraries[library] = { file, ours };
    shown.push(`${library} ${file ?? '(not mapped)'}${ours ? ' (simulator)' : ''}`);
  }
  return pass(`the add-on loads; ${shown.join(', ')}`);
}

// ---- 2. The configuration file --------------------------------------------------

// One line as the OS layer reads it: name:type:length:value, the name at
// most 31 characters, the value at least one; a binary value's bytes as
// ":xx" groups.  Returns the entry, or the reason the line is unusable (it
// ends every lookup that reaches it).
function parseEntry(line) {
  const match = /^([^:]{1,31}):([\s\S]):\s*([+-]?\d+):([^\n]{1,267})/.exec(line);
  if (!match) {
    return { problem: 'does not parse as name:type:length:value' };
  }
  const [, name, type, length, value] = match;
  if (type === 's') {
    return { name, type, value };
  }
  if (type !== 'b') {
    return { problem: `has the unknown type "${type}"` };
  }
  const groups = value.split(':').filter((group) => group !== '');
  if (Number(length) <= 0 || groups.length < Number(length) ||
      groups.slice(0, Number(length)).some((group) => !/^[0-9a-fA-F]+/.test(group))) {
    return { problem: `has fewer than its ${length} bytes` };
  }
  return { name, type, value: groups.slice(0, Number(length)).map((group) => parseInt(group, 16) & 0xff) };
}

function checkConfiguration(ctx) {
  const shown = hostPath(CONFIG_FILE);
  const info = statOf(CONFIG_FILE);
  if (info === null) {
    return fail(`${shown} does not exist`, process.env.KAVO_PLATFORM_ROOT
      ? `lay out a fresh platform root: kavo-platform ${hostPath(ROOT)}, when it is empty`
      : 'install the platform\'s configuration');
  }
  if (!info.isFile()) {
    return fail(`${shown} is not a regular file`, `put the platform's configuration file at ${shown}`);
  }
  let text;
  try {
    text = fs.readFileSync(CONFIG_FILE, 'latin1');
  } catch (error) {
    return fail(`${shown} cannot be read (${error.code})`, `chmod 0644 ${shown}`);
  }
  // MkUserDir is a shell command that the crypto service runs.
  if ((info.mode & 0o022) !== 0) {
    return fail(`${shown} is writable by group or others (mode ${octal(info.mode)}): anyone could change ` +
      'the command it names', `chmod 0644 ${shown}`);
  }
  const lines = text.split('\n');
  if (lines[lines.length - 1] !== '') {
    return fail(`the last line of ${shown} has no newline, so it is never read`, `end ${shown} with a newline`);
  }
  lines.pop();
  const entries = new Map();
  for (const [index, line] of lines.entries()) {
    const entry = line.length > 300 ? { problem: 'is longer than 300 characters' } : parseEntry(line);
    if (entry.problem) {
      return fail(`line ${index + 1} of ${shown} ${entry.problem}; no entry after it is ever found`,
        `correct or remove line ${index + 1}`);
    }
    if (!entries.has(entry.name)) {
      entries.set(entry.name, entry);
    }
  }
  const directory = entries.get('ConfigDirectory');
  if (!directory || directory.type !== 's' || directory.value.length > 199) {
    return fail(`${shown} has no usable ConfigDirectory entry (a string of at most 199 characters): the crypto ` +
      'service has no key-store directory', `add a line ConfigDirectory:s:N:${ROOT}/system`);
  }
  ctx.config = entries;
  return pass(`${shown}: ${entries.size} entries, ConfigDirectory ${directory.value}`);
}

// ---- 3. The key-store directory ---------------------------------------------------

// The crypto service's own rule: a directory that nobody but its owner can
// write, owned by the caller or root.
function checkKeyStoreDirectory(ctx) {
  const directory = ctx.config?.get('ConfigDirectory')?.value;
  if (!directory) {
    return skip('not checked: the configuration names no key-store directory');
  }
  const shown = hostPath(directory);
  const info = statOf(directory);
  if (info === null) {
    return fail(`${shown} does not exist`, `mkdir -m 0700 ${shown}`);
  }
  if (!info.isDirectory()) {
    return fail(`${shown} is not a directory`, `move it aside and mkdir -m 0700 ${shown}`);
  }
  if ((info.mode & 0o022) !== 0) {
    return fail(`${shown} is writable by group or others (mode ${octal(info.mode)}), so the crypto service ` +
      'refuses it (-1446): keys there could have been put by another user', `chmod 0700 ${shown}`);
  }
  const uid = process.geteuid();
  if (info.uid !== uid && info.uid !== 0) {
    return fail(`${shown} is owned by user ${info.uid}, not by this user (${uid}) or root, so the crypto ` +
      'service refuses it (-1446)', `run as user ${info.uid}, or chown ${uid} ${shown}`);
  }
  ctx.keyStoreDirectory = directory;
  return pass(`${shown}: mode ${octal(info.mode)}, owner ${info.uid}`);
}

// ---- 4. Machine keys in a PKCS#11 token --------------------------------------------

// With these three entries the simulated crypto service keeps its machine
// keys in a PKCS#11 token instead of the key store, and records their first
// making in a marker beside where the key store would be, 176 bytes: "PXTK",
// format 1, the keys' identifiers, and the SHA-256 of the first 144 bytes
// (platform/pex2/token.cpp).  Doctor reads files only: it never loads the
// token's library nor logs in, which could count against the PIN.
const TOKEN_ENTRIES = ['Pkcs11Module', 'Pkcs11TokenLabel', 'Pkcs11PinFile'];
const TOKEN_MARKER = 'xmgrcfg.tk0';

function markerProblem(bytes) {
  if (bytes.length !== 176) return `${bytes.length} bytes, not 176`;
  if (bytes.toString('latin1', 0, 4) !== 'PXTK' || bytes.readUInt32LE(4) !== 1) return 'not a marker of format 1';
  const digest = crypto.createHash('sha256').update(bytes.subarray(0, 144)).digest();
  return crypto.timingSafeEqual(digest, bytes.subarray(144)) ? null : 'its checksum does not match';
}

// SoftHSM2 keeps its tokens as files in the folder its configuration names;
// inside the platform root, a copy of the root would carry the keys.
function softhsmTokenFolder() {
  const conf = process.env.SOFTHSM2_CONF || '/etc/softhsm/softhsm2.conf';
  try {
    return /^\s*directories\.tokendir\s*=\s*(.*?)\s*$/m.exec(fs.readFileSync(conf, 'utf8'))?.[1];
  } catch {
    return undefined;
  }
}

function checkToken(ctx) {
  if (!ctx.config) {
    return skip('not checked: no usable configuration');
  }
  if (ctx.loaded && !ctx.libraries['libpex2.so'].ours) {
    return skip('not checked: the host\'s own crypto library keeps its keys its own way');
  }
  const [module, label, pinFile] = TOKEN_ENTRIES.map((name) => ctx.config.get(name));
  if (!module && !label && !pinFile) {
    return pass('none configured: the machine keys are kept in the key store');
  }
  ctx.token = true;
  const shown = hostPath(CONFIG_FILE);
  if (![module, label, pinFile].every((entry) => entry?.type === 's')) {
    return fail(`${shown} names only some of ${TOKEN_ENTRIES.join(', ')}, so every request fails (-1447)`,
      'give all three as strings, or none');
  }
  if (label.value.length > 32) {
    return fail(`Pkcs11TokenLabel is longer than 32 characters, so every request fails (-1447)`,
      'use the token\'s label as softhsm2-util --show-slots or the token\'s tools show it');
  }
  const moduleInfo = statOf(module.value);
  if (!path.isAbsolute(module.value) || moduleInfo === null || !moduleInfo.isFile()) {
    return fail(`the token's library ${module.value} is not a file, so every request fails (-1447)`,
      'set Pkcs11Module to the absolute path of the PKCS#11 library (SoftHSM2: /usr/lib/softhsm/libsofthsm2.so)');
  }
  const pin = hostPath(pinFile.value);
  const pinInfo = statOf(pinFile.value, false);
  if (pinInfo === null || !pinInfo.isFile() || pinInfo.size === 0) {
    return fail(`the PIN file ${pin} is missing, empty or not a regular file, so every request fails (-1447)`,
      `write the token's user PIN to ${pin} with mode 0600`);
  }
  if ((pinInfo.mode & 0o077) !== 0 || (pinInfo.uid !== process.geteuid() && pinInfo.uid !== 0)) {
    return fail(`the PIN file ${pin} has mode ${octal(pinInfo.mode)} and owner ${pinInfo.uid}: the crypto service ` +
      'refuses a PIN that others could read or have put there (-1447)', `chmod 0600 ${pin}; chown it to this user`);
  }
  const folder = /softhsm/i.test(module.value) ? softhsmTokenFolder() : undefined;
  const roots = [ROOT, process.env.KAVO_PLATFORM_ROOT].filter(Boolean).map((root) => path.resolve(root));
  if (folder && roots.some((root) => path.resolve(folder) === root || path.resolve(folder).startsWith(`${root}/`))) {
    return fail(`SoftHSM2 keeps its tokens in ${folder}, inside the platform root: a copy of the root carries the keys`,
      'move directories.tokendir of the SoftHSM2 configuration outside the platform root');
  }
  if (!ctx.keyStoreDirectory) {
    return skip(`token "${label.value}" configured; marker not checked: no usable key-store directory`);
  }
  const marker = path.join(ctx.keyStoreDirectory, TOKEN_MARKER);
  let bytes;
  try {
    bytes = fs.readFileSync(marker);
  } catch (error) {
    if (error.code === 'ENOENT') {
      return pass(`token "${label.value}": no keys yet; they are made inside it at the first use`);
    }
    return fail(`the token marker ${hostPath(marker)} cannot be read (${error.code})`,
      'run as the user the application runs as');
  }
  const problem = markerProblem(bytes);
  if (problem) {
    return fail(`the token marker ${hostPath(marker)} is damaged (${problem}), so every request fails; it is ` +
      'never replaced', 'put the marker back from a backup');
  }
  return pass(`token "${label.value}": marker verified (the keys themselves are not examined: doctor does not ` +
    'log in to the token)');
}

// ---- 5. The key store ----------------------------------------------------------------

// The simulated crypto service's store "xmgrcfg.ks0", 116 bytes: "PXKS",
// format 1, the wrapping key's kind and length, its bytes, the partition
// key's length and bytes, and the SHA-256 of all that (platform/pex2/keystore.cpp).
const KEY_STORE = 'xmgrcfg.ks0';
const WRAPPING_KEY_LENGTH = { 1: 24, 2: 24, 12: 32 };

function keyStoreProblem(bytes) {
  if (bytes.length !== 116) return `${bytes.length} bytes, not 116`;
  if (bytes.toString('latin1', 0, 4) !== 'PXKS' || bytes.readUInt32LE(4) !== 1) return 'not a key store of format 1';
  const digest = crypto.createHash('sha256').update(bytes.subarray(0, 84)).digest();
  if (!crypto.timingSafeEqual(digest, bytes.subarray(84))) return 'its checksum does not match';
  const kind = bytes.readUInt32LE(8);
  if (WRAPPING_KEY_LENGTH[kind] !== bytes.readUInt32LE(12) || bytes.readUInt32LE(48) !== 32) {
    return 'its key lengths are wrong';
  }
  return null;
}

function checkKeyStore(ctx) {
  const service = ctx.libraries['libpex2.so'];
  if (!ctx.loaded) {
    return skip('not checked: the add-on does not load');
  }
  if (!service.ours) {
    return skip(`not checked: ${service.file ?? 'libpex2.so'} is the host's own crypto library, whose key ` +
      'store is its own business');
  }
  if (!ctx.keyStoreDirectory) {
    return skip('not checked: no usable key-store directory');
  }
  const file = path.join(ctx.keyStoreDirectory, KEY_STORE);
  const shown = hostPath(file);
  const info = statOf(file, false);
  if (ctx.token) {
    const aside = statOf(`${file}.pre-token`, false) !== null;
    return info === null && !aside ? pass('not used: the machine keys are in the token')
      : fail(`${aside ? `${shown}.pre-token` : shown} still holds machine keys beside the token: a copy of the ` +
        'platform root opens what was stored under them', 'finish moving the credentials: kavo rewrap --to-token');
  }
  if (info === null) {
    return pass(`none yet: the crypto service makes ${shown} at its first use`);
  }
  const keep = 'never delete it while credentials are stored: they cannot be read without it';
  if (!info.isFile()) {
    return fail(`${shown} is not a regular file, so every request fails (-1440)`,
      `put the key store back from a backup; ${keep}`);
  }
  if ((info.mode & 0o077) !== 0) {
    return fail(`${shown} can be read by group or others (mode ${octal(info.mode)}): the machine keys can be copied`,
      `chmod 0600 ${shown}`);
  }
  let bytes;
  try {
    bytes = fs.readFileSync(file);
  } catch (error) {
    return fail(`${shown} cannot be read by this user (${error.code})`,
      `run as the user the application runs as (owner ${info.uid})`);
  }
  try {
    const problem = keyStoreProblem(bytes);
    if (problem) {
      return fail(`${shown} is damaged (${problem}), so every request fails (-1440); it is never replaced`,
        `put the key store back from a backup; ${keep}`);
    }
    const kind = bytes.readUInt32LE(8);
    return pass(`${shown} verified: wrapping key of kind ${kind} (${kind === 12 ? 'AES-256' : 'triple DES'})`);
  } finally {
    bytes.fill(0);
  }
}

// ---- 6. The credential store ---------------------------------------------------------

function checkCredentialStore(ctx) {
  const store = ctx.libraries['libkavocredstore.so'];
  if (!ctx.loaded) {
    return skip('not checked: the add-on does not load');
  }
  if (!store.ours) {
    return skip(`not checked: ${store.file ?? 'libkavocredstore.so'} is the host's own credential store, which ` +
      'keeps its data its own way');
  }
  const file = process.env.KAVO_CREDSTORE_DB || path.join(ROOT, 'credstore.db');
  const shown = hostPath(file);
  const info = statOf(file, false);
  if (info === null) {
    const folder = path.dirname(file);
    return canAccess(folder, fs.constants.W_OK | fs.constants.X_OK)
      ? pass(`none yet: ${shown} is made at the first store or read`)
      : fail(`${shown} does not exist, and this user cannot make it in ${hostPath(folder)}`,
        'run as the user that owns the platform root');
  }
  if (!info.isFile()) {
    return fail(`${shown} is not a regular file, so the store refuses it (-827)`, `move ${shown} aside`);
  }
  if (!canAccess(file, fs.constants.R_OK | fs.constants.W_OK)) {
    return fail(`${shown} cannot be opened for reading and writing by this user (-822)`,
      `run as the user the application runs as (owner ${info.uid})`);
  }
  for (const part of [file, `${file}-wal`, `${file}-shm`]) {
    const partInfo = statOf(part, false);
    if (partInfo !== null && (partInfo.mode & 0o077) !== 0) {
      return fail(`${hostPath(part)} can be read by group or others (mode ${octal(partInfo.mode)})`,
        `chmod 0600 ${hostPath(part)}`);
    }
  }
  const header = Buffer.alloc(16);
  const fd = fs.openSync(file, 'r');
  let read;
  try {
    read = fs.readSync(fd, header, 0, 16, 0);
  } finally {
    fs.closeSync(fd);
  }
  if (read > 0 && header.toString('latin1') !== 'SQLite format 3\0') {
    return fail(`${shown} is not an SQLite database, so every request fails (-822)`, `move ${shown} aside`);
  }
  return pass(`${shown}: an SQLite database, mode ${octal(info.mode)}`);
}

// ---- 7. The directory -------------------------------------------------------------------

// What the directory library's statuses mean here, with the fix.
function directoryFault(status, ctx) {
  const root = process.env.KAVO_PLATFORM_ROOT;
  const faults = {
    [-9004]: ['the directory database is missing, unreadable or corrupt', root
      ? `add users to it: kavo-platform ${root} provision add-user LOGIN DN [SID]`
      : 'provision the directory database, or point TAMO_DIRECTORY_DB at it'],
    [-9005]: ['the directory library ran out of memory', 'look at the machine\'s memory'],
    [-9006]: ['the directory database path is not a regular file', 'move what is there aside'],
    [-9007]: ['directory.conf or its password file is unusable: malformed, writable by others, or a password ' +
      'file that others can read (the library wrote the reason on standard error)',
    'correct directory.conf; chmod 0644 directory.conf and 0600 its password file'],
    [-9008]: ['no directory server answered within timeout_ms, or its certificate was refused',
      'check uri, the network and tls_ca_file, and that timeout_ms is above the server\'s slowest answer'],
    [-9013]: ['the directory server or the LDAP library reported an error', 'look at the server\'s log'],
    [-9014]: ['OpenLDAP\'s client library cannot be loaded', 'install it (Debian: libldap-2.5-0)'],
    [-9015]: ['a bind password would be sent in clear (ldap:// without starttls)',
      'use ldaps://, or starttls = yes, in directory.conf'],
    [-9016]: ['the directory server refused the bind: a wrong or expired password, or a disabled or locked account',
      'put the right password in password_file; it is tried again when the file changes'],
  };
  const [meaning, fix] = faults[status] ?? [`the directory library failed with status ${status}`,
    'see docs/errors.md'];
  return fail(`${ctx.directoryName}: ${meaning} (${status})`, fix);
}

// Which back end the simulated directory library uses: LDAP when its
// directory.conf exists, else SQLite.
function directoryOf(ctx) {
  if (!ctx.libraries['libtamo.so.0'].ours) {
    return { name: 'the directory library' };
  }
  const conf = process.env.TAMO_DIRECTORY_CONF || path.join(ROOT, 'directory.conf');
  if (!fs.existsSync(conf)) {
    return { name: `the SQLite directory ${hostPath(process.env.TAMO_DIRECTORY_DB || path.join(ROOT, 'directory.db'))}` };
  }
  let text = '';
  try {
    text = fs.readFileSync(conf, 'utf8');
  } catch {
    // The lookup below reports what the library makes of it.
  }
  const setting = (key) => new RegExp(`^\\s*${key}\\s*=\\s*(.*?)\\s*$`, 'm').exec(text)?.[1];
  const timeout = Number(setting('timeout_ms'));
  return { name: `the LDAP directory ${setting('uri') ?? '(no uri)'}`, timeout: timeout > 0 ? timeout : undefined };
}

// One lookup through the module, as the application makes it: the library
// connects and binds as its configuration says.  A login that is not found
// is an answer.
function checkDirectory(ctx) {
  if (!ctx.loaded) {
    return skip('not checked: the add-on does not load');
  }
  const directory = directoryOf(ctx);
  ctx.directoryName = directory.name;
  const started = process.hrtime.bigint();
  let failure = null;
  try {
    require('../../strict').get_sid_from_name(PROBE_LOGIN);
  } catch (error) {
    failure = error;
  }
  const ms = Math.round(Number(process.hrtime.bigint() - started) / 1e6);
  if (failure !== null && failure.code !== 'ERR_KAVO_NOT_FOUND') {
    return failure.status !== undefined ? directoryFault(failure.status, ctx)
      : fail(`${directory.name}: ${failure.message}`, 'see docs/errors.md');
  }
  const limit = directory.timeout !== undefined ? ` (timeout_ms ${directory.timeout})` : '';
  return pass(`${directory.name} answered a lookup in ${ms} ms${limit}`);
}

// The checks, in the order they run and are shown.
const CHECKS = [
  { name: 'libraries', title: 'platform libraries', run: checkLibraries },
  { name: 'configuration', title: 'configuration', run: checkConfiguration },
  { name: 'key-store-directory', title: 'key-store directory', run: checkKeyStoreDirectory },
  { name: 'token', title: 'machine keys in a token', run: checkToken },
  { name: 'key-store', title: 'key store', run: checkKeyStore },
  { name: 'credential-store', title: 'credential store', run: checkCredentialStore },
  { name: 'directory', title: 'directory', run: checkDirectory },
];

// Runs every check; { ok, checks: [{ name, title, status, detail, fix }] }.
function diagnose() {
  const ctx = { loaded: false, libraries: Object.fromEntries(LIBRARIES.map((name) => [name, {}])) };
  const checks = CHECKS.map(({ name, title, run }) => {
    let outcome;
    try {
      outcome = run(ctx);
    } catch (error) {
      outcome = fail(`the check itself failed: ${error.message}`, 'report this as a fault of kavo doctor');
    }
    return { name, title, ...outcome };
  });
  return { ok: checks.every((check) => check.status !== 'fail'), checks };
}

const MARKS = { pass: '✓', fail: '✗', skip: '-' };

function format(report) {
  return report.checks.map(({ title, status, detail, fix }) =>
    `${MARKS[status]} ${title}: ${detail}${fix ? ` — fix: ${fix}` : ''}`).join('\n');
}

module.exports = { CHECKS, diagnose, format };
