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

// kavoInterface.node: the four synchronous functions.
function addon() {
  return addonModule ?? (addonModule = require('./native').load(ADDON));
}

// kavoPromises.node, bound to the add-on loaded in this process: the Promise
// API's threads, and the failure record of a synchronous call.
function companion() {
  if (companionModule === undefined) {
    addon();
    const native = require('./native');
    const loaded = native.load(COMPANION);
    loaded.bind(native.path(ADDON));
    companionModule = loaded;
  }
  return companionModule;
}

module.exports = { addon, companion };
