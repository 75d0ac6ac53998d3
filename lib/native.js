'use strict';
// Where the package's native files are, and loading them.
//
// A local build (<package>/build, or $KAVO_BUILD_DIR during development)
// wins over the prebuilt files that the published package carries in
// prebuilds/linux-x64; tools/kavo-platform makes the same choice for the
// simulators' folder.  The add-on carries no library search path, so its
// platform libraries come from the host, or from the simulators' folder that
// tools/kavo-platform puts on LD_LIBRARY_PATH.
const fs = require('node:fs');
const path = require('node:path');

const packageDir = path.resolve(__dirname, '..');
const PLATFORM_LIBRARY = /(lib(?:kavocredstore|tamo|pex2)\.so[.0-9]*): cannot open shared object file/;

function locate() {
  if (process.env.KAVO_BUILD_DIR) {
    const build = path.resolve(process.env.KAVO_BUILD_DIR);
    return { binaryDir: path.join(build, 'Release'), simulatorDir: path.join(build, 'simulators') };
  }
  const build = path.join(packageDir, 'build');
  if (fs.existsSync(path.join(build, 'Release', 'kavoInterface.node'))) {
    return { binaryDir: path.join(build, 'Release'), simulatorDir: path.join(build, 'simulators') };
  }
  const prebuilt = path.join(packageDir, 'prebuilds', `${process.platform}-${process.arch}`);
  return { binaryDir: prebuilt, simulatorDir: path.join(prebuilt, 'simulators') };
}

const { binaryDir, simulatorDir } = locate();

// The absolute path of one of the package's native modules.
function nativePath(fileName) {
  return path.join(binaryDir, fileName);
}

// Loads a native module.  A platform library the host lacks is reported
// with its name and with the way to run on the simulated platform.
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
    if (error.code === 'MODULE_NOT_FOUND' && !fs.existsSync(file)) {
      const hint = new Error(`kavo-interface: ${file} is missing; build it with "npm run build"`,
        { cause: error });
      hint.code = 'ERR_KAVO_NOT_BUILT';
      throw hint;
    }
    throw error;
  }
}

module.exports = { packageDir, binaryDir, simulatorDir, path: nativePath, load };
