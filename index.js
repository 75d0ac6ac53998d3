'use strict';
// The package entry: a plain object of the native module's four functions.
// The module is loaded by the first call, not by require(), so this entry
// loads anywhere, and an application's tests can stub its functions
// (node:test's mock.method, sinon.stub) on a machine without the platform
// libraries; there the first real call throws ERR_KAVO_PLATFORM_MISSING.
// Each function passes its arguments to the module's own and returns what
// that returns.  index.mjs exports this same object as its default.
const { addon } = require('./lib/binding');

module.exports = {
  arb_get_credentials(...args) {
    return addon().arb_get_credentials(...args);
  },
  arb_set_credentials(...args) {
    return addon().arb_set_credentials(...args);
  },
  get_sev_list(...args) {
    return addon().get_sev_list(...args);
  },
  get_sid_from_name(...args) {
    return addon().get_sid_from_name(...args);
  },
};
