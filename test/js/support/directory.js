'use strict';
// Runs a group of directory tests once per back end of the directory
// library: the SQLite database, the private LDAP server (tools/ldap-fixture)
// loaded with the same directory exported as LDAP entries, and, when asked,
// a private Active Directory domain controller (Samba, tools/samba-fixture,
// see ./samba.js) loaded with the same directory as Active Directory holds
// it; the last two named by the platform root's directory.conf.
//
//   forEachBackend(commands, (ctx) => { test(...) }, { timeoutMs, samba })
// commands are tamo-provision commands as for h.createPlatform; every DN
// must lie under BASE.  Inside the tests:
//   ctx.backend        'sqlite', 'ldap' or 'samba'
//   ctx.platform       the platform root; ctx.server the LDAP server;
//                      ctx.dc the domain controller
//   ctx.run(script, options)  h.runAddon on the platform (in the DC's
//                      network namespace for 'samba')
//   ctx.sid(login)     the SID text the directory holds for login, or
//                      undefined (Active Directory: what ldbsearch reports;
//                      its logins compare case-insensitively)
//   ctx.list(login)    the DNs of login's list, or undefined
//   ctx.dn(dn)         the DN the directory gives an entry of the commands
//   ctx.ordered        whether lists keep the commands' order (Active
//                      Directory gives memberOf in an order of its own)
// Each back end is a describe() of its own, skipped with its reason where
// it cannot run.
const { describe, before, after } = require('node:test');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./harness');
const ldap = require('../../../tools/lib/ldap-fixture');
const samba = require('./samba');

const BASE = 'o=corp';

// What the commands put in the directory: login -> { sid, list }.
function provisioned(commands) {
  const users = new Map();
  for (const [command, login, ...rest] of commands) {
    if (command === 'add-user') users.set(login, { sid: rest[1] === '-' || rest[1] === '' ? undefined : rest[1], list: [] });
    if (command === 'set-sev') users.get(login).list = rest;
  }
  return users;
}

function forEachBackend(commands, body, { timeoutMs = 2000, samba: withSamba = false } = {}) {
  const backends = [
    { name: 'sqlite', skip: h.skipReason },
    { name: 'ldap', skip: h.skipReason || ldap.unavailableReason() },
  ];
  if (withSamba) backends.push({ name: 'samba', skip: h.skipReason || samba.unavailableReason() });
  const own = commands.filter(([command]) => !command.startsWith('ad-'));
  const users = provisioned(own);
  for (const { name, skip } of backends) {
    describe(`${name} directory`, { skip }, () => {
      const ctx = {
        backend: name,
        ordered: name !== 'samba',
        run: (script, options = {}) => h.runAddon(script, { platform: ctx.platform, netns: ctx.dc?.netns, ...options }),
        sid: (login) => users.get(login)?.sid,
        list: (login) => users.get(login)?.list,
        dn: (dn) => dn,
      };
      before(() => {
        ctx.platform = h.createPlatform({ directory: own });
        const conf = path.join(ctx.platform, 'directory.conf');
        if (name === 'ldap') {
          ctx.server = ldap.startDirectoryServer({ database: path.join(ctx.platform, 'directory.db'), base: BASE });
          // Not writable by group or others, whatever the creation mask.
          fs.writeFileSync(conf, ctx.server.directoryConf({ timeoutMs }), { mode: 0o644 });
        } else if (name === 'samba') {
          ctx.dc = samba.startDomainController(commands);
          fs.writeFileSync(path.join(ctx.platform, 'svc-kavo.pw'), samba.SERVICE_PASSWORD, { mode: 0o600 });
          fs.writeFileSync(conf, ctx.dc.directoryConf({ timeoutMs, passwordFile: '/etc/opt/zorvex/svc-kavo.pw' }), { mode: 0o644 });
          const byLogin = (login) => [...ctx.dc.truth].find(([name]) => name.toLowerCase() === login.toLowerCase())?.[1];
          ctx.sid = (login) => byLogin(login)?.sid;
          ctx.list = (login) => byLogin(login)?.memberOf;
          ctx.dn = ctx.dc.dn;
        }
        if (name !== 'sqlite') {
          // Every answer must now come from the server.
          fs.rmSync(path.join(ctx.platform, 'directory.db'));
        }
      });
      after(() => {
        if (ctx.server) ctx.server.remove();
        if (ctx.dc) ctx.dc.remove();
        if (ctx.platform) h.removePlatform(ctx.platform);
      });
      body(ctx);
    });
  }
}

module.exports = { forEachBackend, BASE, fixturePath: ldap.fixturePath };
