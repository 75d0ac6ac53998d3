'use strict';
// Runs a group of directory tests once per back end of the directory
// library: the SQLite database, and the private LDAP server
// (tools/ldap-fixture) loaded with the same directory exported as LDAP
// entries and named by the platform root's directory.conf.
//
//   forEachBackend(commands, (ctx) => { test(...) }, { timeoutMs })
// commands are tamo-provision commands as for h.createPlatform; every DN
// must lie under BASE.  Inside the tests, ctx.platform is the platform root,
// ctx.backend 'sqlite' or 'ldap', ctx.server the LDAP server.  Each back end
// is a describe() of its own, skipped with its reason where it cannot run.
const { describe, before, after } = require('node:test');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./harness');
const ldap = require('../../../tools/lib/ldap-fixture');

const BASE = 'o=corp';
const backends = [
  { name: 'sqlite', skip: h.skipReason },
  { name: 'ldap', skip: h.skipReason || ldap.unavailableReason() },
];

function forEachBackend(commands, body, { timeoutMs = 2000 } = {}) {
  for (const { name, skip } of backends) {
    describe(`${name} directory`, { skip }, () => {
      const ctx = { backend: name };
      before(() => {
        ctx.platform = h.createPlatform({ directory: commands });
        if (name === 'ldap') {
          ctx.server = ldap.startDirectoryServer({ database: path.join(ctx.platform, 'directory.db'), base: BASE });
          // Not writable by group or others, whatever the creation mask.
          fs.writeFileSync(path.join(ctx.platform, 'directory.conf'), ctx.server.directoryConf({ timeoutMs }), { mode: 0o644 });
          // Every answer must now come from the server.
          fs.rmSync(path.join(ctx.platform, 'directory.db'));
        }
      });
      after(() => {
        if (ctx.server) ctx.server.remove();
        if (ctx.platform) h.removePlatform(ctx.platform);
      });
      body(ctx);
    });
  }
}

module.exports = { forEachBackend, BASE, fixturePath: ldap.fixturePath };
