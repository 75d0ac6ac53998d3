'use strict';
// Where the package's native files are, and loading them.
//
// A local build (<package>/build, or $KAVO_BUILD_DIR in a checkout) wins
// over the prebuilt files that the published package carries in
// prebuilds/linux-x64; tools/kavo-platform makes the same choice for the
// simulators' folder.  The add-on carries no library search path, so its
// platform libraries come from the host, or from the simulators' folder that
// tools/kavo-platform puts on LD_LIBRARY_PATH.
const fs = require('node:fs');
const path = require('node:path');

const packageDir = path.resolve(__dirname, '..');
// Installed as a dependency, the package never loads native files from
// elsewhere: an environment variable must not choose the code that runs
// inside an application.
const installed = packageDir.split(path.sep).includes('node_modules');
const PLATFORM_LIBRARY = /(lib(?:kavocredstore|tamo|pex2)\.so[.0-9]*): cannot open shared object file/;
// With every symbol bound at load, a platform library of another version
// fails the load with one of these.
const MISSING_SYMBOL = /undefined symbol: ([^\s,]+)(?:, version (\S+))?/;
const MISSING_VERSION = /([^\s:]+): version `([^']+)' not found/;

// The build folder of a checkout: $KAVO_BUILD_DIR, which must be absolute
// (a relative one would depend on the working directory), else
// <package>/build.  Null in an installed package.
function buildDirOf() {
  if (installed) {
    return null;
  }
  const override = process.env.KAVO_BUILD_DIR;
  if (!override) {
    return path.join(packageDir, 'build');
  }
  if (!path.isAbsolute(override)) {
    const error = new Error(`kavo-interface: KAVO_BUILD_DIR must be an absolute path, not "${override}"`);
    error.code = 'ERR_KAVO_BUILD_DIR';
    throw error;
  }
  return path.normalize(override);
}

function locate() {
  const build = buildDirOf();
  if (build && (process.env.KAVO_BUILD_DIR || fs.existsSync(path.join(build, 'Release', 'kavoInterface.node')))) {
    return { buildDir: build, binaryDir: path.join(build, 'Release'), simulatorDir: path.join(build, 'simulators') };
  }
  const prebuilt = path.join(packageDir, 'prebuilds', `${process.platform}-${process.arch}`);
  return { buildDir: build, binaryDir: prebuilt, simulatorDir: path.join(prebuilt, 'simulators') };
}

const { buildDir, binaryDir, simulatorDir } = locate();

// The absolute path of one of the package's native modules.
function nativePath(fileName) {
  return path.join(binaryDir, fileName);
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
  const hint = new Error(
    `kavo-interface cannot load ${fileName}: the platform library ${what}; it is not a version ` +
    `this module works with (loader: ${error.message.trim()})`, { cause: error });
  hint.code = 'ERR_KAVO_PLATFORM_INCOMPATIBLE';
  return hint;
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
      const hint = new Error(
        `kavo-interface cannot load ${fileName}: the platform library ${missing[1]} is not ` +
        'installed on this host. During development, run on the simulated platform: ' +
        `npx kavo-platform ./dev-platform -- node app.js (loader: ${error.message.trim()})`,
        { cause: error });
      hint.code = 'ERR_KAVO_PLATFORM_MISSING';
      throw hint;
    }
    const mismatch = incompatible(fileName, error);
    if (mismatch) {
      throw mismatch;
    }
    if (error.code === 'MODULE_NOT_FOUND' && !fs.existsSync(file)) {
      const hint = new Error(`kavo-interface: ${file} is missing; build it with "npm run build"`,
        { cause: error });
      hint.code = 'ERR_KAVO_NOT_BUILT';
      throw hint;
    }
    throw error;
  }
}

module.exports = { packageDir, installed, buildDir, binaryDir, simulatorDir, path: nativePath, load };
