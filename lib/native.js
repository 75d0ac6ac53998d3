'use strict';
// Where the package's native files are, and loading them: the one place
// that decides.
//
// A folder of native files carries native.env, written by what made it: the
// build (CMakeLists.txt) at the top of its build folder, tools/prepack in
// the prebuilt folder that the published package carries
// (prebuilds/<platform>-<arch>).  Each of its lines is NAME=FOLDER, relative
// to the file's own folder: `modules` (the add-on and its companion),
// `simulators`, and in a build `support` (the test programs' libraries).
// A build folder that holds one wins over the prebuilt files: <package>/build,
// or $KAVO_BUILD_DIR in a checkout.  tools/kavo-platform, which must start
// without Node.js, reads the same file by the same rule.  The add-on carries
// no library search path, so its platform libraries come from the host, or
// from the simulators' folder that tools/kavo-platform puts on
// LD_LIBRARY_PATH.
const fs = require('node:fs');
const path = require('node:path');

const LAYOUT_FILE = 'native.env';
const packageDir = path.resolve(__dirname, '..');
// Installed as a dependency, the package never loads native files from
// elsewhere: an environment variable must not choose the code that runs
// inside an application.
const installed = packageDir.split(path.sep).includes('node_modules');
const prebuiltDir = path.join(packageDir, 'prebuilds', `${process.platform}-${process.arch}`);
const PLATFORM_LIBRARY = /(lib(?:kavocredstore|tamo|pex2)\.so[.0-9]*): cannot open shared object file/;
// With every symbol bound at load, a platform library of another version
// fails the load with one of these.
const MISSING_SYMBOL = /undefined symbol: ([^\s,]+)(?:, version (\S+))?/;
const MISSING_VERSION = /([^\s:]+): version `([^']+)' not found/;

function codedError(code, message, cause) {
  const error = new Error(message, cause === undefined ? undefined : { cause });
  error.code = code;
  return error;
}

// The build folder: $KAVO_BUILD_DIR in a checkout, which must be absolute (a
// relative one would depend on the working directory), else <package>/build.
function buildDirOf() {
  const override = installed ? undefined : process.env.KAVO_BUILD_DIR;
  if (!override) {
    return path.join(packageDir, 'build');
  }
  if (!path.isAbsolute(override)) {
    throw codedError('ERR_KAVO_BUILD_DIR',
      `kavo-interface: KAVO_BUILD_DIR must be an absolute path, not "${override}"`);
  }
  return path.normalize(override);
}

// The folders that the native.env in `dir` names, as absolute paths; null
// when `dir` holds none.
function layoutOf(dir) {
  let text;
  try {
    text = fs.readFileSync(path.join(dir, LAYOUT_FILE), 'utf8');
  } catch (error) {
    if (error.code === 'ENOENT' || error.code === 'ENOTDIR') {
      return null;
    }
    throw error;
  }
  const layout = { dir, modules: null, simulators: null, support: null };
  for (const [, name, folder] of text.matchAll(/^(modules|simulators|support)=(.*)$/gm)) {
    layout[name] = path.resolve(dir, folder);
  }
  return layout;
}

const buildDir = buildDirOf();
// A named build folder is used even before it is built, so that it is the
// one the "not built" error names.
const chosen = layoutOf(buildDir) || (installed || !process.env.KAVO_BUILD_DIR ? layoutOf(prebuiltDir) : null);
const nativeDir = chosen ? chosen.dir : (installed ? prebuiltDir : buildDir);
const binaryDir = chosen && chosen.modules;
const simulatorDir = chosen && chosen.simulators;
const supportDir = chosen && chosen.support;

// An installed package builds its native files again with `npm rebuild`; a
// checkout of the repository with its build script.
function notBuilt(file, cause) {
  const how = installed ? 'rebuild it with "npm rebuild kavo-interface"' : 'build it with "npm run build"';
  return codedError('ERR_KAVO_NOT_BUILT', `kavo-interface: ${file} is missing; ${how}`, cause);
}

// The absolute path of one of the package's native modules.
function nativePath(fileName) {
  if (!binaryDir) {
    throw notBuilt(path.join(nativeDir, LAYOUT_FILE));
  }
  return path.join(binaryDir, fileName);
}

// Returns `file`, a native file of the package (null where there is no
// build), or throws ERR_KAVO_NOT_BUILT when it is not there.
function requireBuilt(file) {
  if (!file) {
    throw notBuilt(path.join(nativeDir, LAYOUT_FILE));
  }
  if (!fs.existsSync(file)) {
    throw notBuilt(file);
  }
  return file;
}

// The platform library that provides a symbol, by its prefix.
function libraryOf(symbol) {
  if (/^(PEXX|SSLX)_/.test(symbol)) return 'libpex2.so';
  if (/^tamolib_/.test(symbol)) return 'libtamo.so.0';
  if (/^arb_/.test(symbol)) return 'libkavocredstore.so';
  return 'a platform library';
}

// The Error for a load that failed on a platform library of another
// version, or null.
function incompatible(fileName, error) {
  const symbol = MISSING_SYMBOL.exec(error.message);
  const version = symbol ? null : MISSING_VERSION.exec(error.message);
  if (!symbol && !version) {
    return null;
  }
  const what = symbol
    ? `${libraryOf(symbol[1])} lacks the symbol ${symbol[1]}${symbol[2] ? `, version ${symbol[2]}` : ''}`
    : `${path.basename(version[1])} lacks the symbol version ${version[2]}`;
  return codedError('ERR_KAVO_PLATFORM_INCOMPATIBLE',
    `kavo-interface cannot load ${fileName}: the platform library ${what}; it is not a version ` +
    `this module works with (loader: ${error.message.trim()})`, error);
}

// Loads a native module.  A platform library the host lacks is reported
// with its name and with the way to run on the simulated platform; one of
// another version with the symbol it lacks.
function load(fileName) {
  const file = nativePath(fileName);
  try {
    return require(file);
  } catch (error) {
    const missing = PLATFORM_LIBRARY.exec(error.message);
    if (missing) {
      throw codedError('ERR_KAVO_PLATFORM_MISSING',
        `kavo-interface cannot load ${fileName}: the platform library ${missing[1]} is not ` +
        'installed on this host. During development, run on the simulated platform: ' +
        `npx kavo-platform ./dev-platform -- node app.js (loader: ${error.message.trim()})`, error);
    }
    const mismatch = incompatible(fileName, error);
    if (mismatch) {
      throw mismatch;
    }
    if (error.code === 'MODULE_NOT_FOUND' && !fs.existsSync(file)) {
      throw notBuilt(file, error);
    }
    throw error;
  }
}

module.exports = {
  packageDir,
  installed,
  buildDir,
  prebuiltDir,
  nativeDir,
  binaryDir,
  simulatorDir,
  supportDir,
  layoutOf,
  requireBuilt,
  path: nativePath,
  load,
};
