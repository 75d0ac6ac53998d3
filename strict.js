'use strict';
// kavo-interface/strict: the four functions, synchronous as in the package
// entry and returning the same objects, but throwing the Promise API's coded
// Error (code, status, log; lib/errors.js) where the entry's functions
// return undefined.  The reason comes from the module's record of the call
// just made on this thread, which the companion module reads.  The native
// modules are loaded by the first call (lib/binding.js).
const { addon, companion } = require('./lib/binding');
const { FUNCTIONS, failureError } = require('./lib/errors');

function strictFunction(name) {
  return {
    [name](...args) {
      const value = addon()[name](...args);
      if (value === undefined) {
        throw failureError(companion().lastFailure(), name, args);
      }
      return value;
    },
  }[name];
}

module.exports = Object.fromEntries(Object.keys(FUNCTIONS).map((name) => [name, strictFunction(name)]));
