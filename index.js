'use strict';
// The package entry: a plain object whose four properties are the native
// module's functions.  The module's own exports object keeps them read-only;
// this one is ordinary, so that an application's tests can stub a function
// on it (node:test's mock.method, sinon.stub).  index.mjs exports this same
// object as its default.
const addon = require('./lib/native').load('kavoInterface.node');

module.exports = {
  arb_get_credentials: addon.arb_get_credentials,
  arb_set_credentials: addon.arb_set_credentials,
  get_sev_list: addon.get_sev_list,
  get_sid_from_name: addon.get_sid_from_name,
};
