'use strict';
// The package's two native modules, each loaded by the first call that needs
// it rather than by require(): the entries (index.js, strict.js, promises.js)
// then load on any machine, one without the platform libraries included, so
// that an application's unit tests can stub their functions.  A load that
// fails throws its coded error (lib/native.js) from that call, and the next
// call tries again.
const ADDON = 'kavoInterface.node';
const COMPANION = 'kavoPromises.node';

let addonModule;
let companionModule;

// Loads one native module.  A load error carries an empty `log`, as every
// coded error of the package carries the module's lines: there are none.
function load(fileName) {
  try {
    return require('./native').load(fileName);
  } catch (error) {
    if (error.code !== undefined && error.log === undefined) {
      error.log = [];
    }
    throw error;
  }
}

// kavoInterface.node: the four synchronous functions.
function addon() {
  return addonModule ?? (addonModule = load(ADDON));
}

// kavoPromises.node, bound to the add-on loaded in this process: the Promise
// API's threads, and the failure record of a synchronous call.
function companion() {
  if (companionModule === undefined) {
    addon();
    const loaded = load(COMPANION);
    loaded.bind(require('./native').path(ADDON));
    companionModule = loaded;
  }
  return companionModule;
}

module.exports = { addon, companion };
