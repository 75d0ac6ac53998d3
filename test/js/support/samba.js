'use strict';
// A private Active Directory domain controller (tools/samba-fixture) for the
// directory suites: loaded with the directory that tamo-provision commands
// describe, as Active Directory holds it, and asked with its own tools
// (ldbsearch on its database) what it holds, so that answers are compared
// with the directory's word, not with ours.
//
//   const dc = startDomainController(commands, { platform })
//   dc.netns            the network namespace file to run a child in
//   dc.directoryConf({ timeoutMs, caFile, passwordFile })  text of a
//                       directory.conf (ldaps://127.0.0.1, bound as the
//                       service account, trusting the DC's own test CA)
//   dc.truth            Map login -> { sid, memberOf: [DN] }, every user
//                       (sAMAccountName, objectSid and memberOf as ldbsearch
//                       reports them)
//   dc.dn(dn)           the DN an entry of the commands has in the domain
//   dc.badPasswordCount(login), dc.ldbsearch(filter, attrs)
//   dc.remove()
//
// How the commands map: an entry's DN "cn=x,ou=y,o=corp" becomes
// "CN=x,OU=y,OU=corp,DC=kavo,DC=test" (OUs made as needed); add-entry makes
// a group, add-user a user with that login (the domain gives it a SID of
// its own); set-sev makes the user a member of each group (members given
// by GUID have no place in Active Directory and are left out); a login
// Active Directory refuses (one holding * or \, say) is left out with its
// user.  Besides: a service account to bind as ('svc-kavo', its password
// SERVICE_PASSWORD), a lockout policy of 5 bad passwords, and each
// ['ad-nest', inner, outer] command makes group inner a member of outer.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const h = require('./harness');

const fixture = path.join(h.paths.repo, 'tools', 'samba-fixture');
const BASE = 'DC=kavo,DC=test';
const SERVICE_DN = `CN=svc-kavo,OU=service,${BASE}`;
const SERVICE_PASSWORD = 'Svc-Kavo-Pass-1!';
// Characters Active Directory refuses in a login.
const REFUSED_LOGIN = /["/\\[\]:;|=,+*?<>]/;

function unavailableReason() {
  const check = spawnSync(fixture, ['check'], { encoding: 'utf8' });
  if (check.status === 0) return undefined;
  return `no Samba domain controller here: ${(check.stdout + check.stderr).trim()}`;
}

// "cn=x,ou=y,o=corp" -> "CN=x,OU=y,OU=corp,DC=kavo,DC=test"
function adDn(dn) {
  return dn.split(',').map((rdn) => {
    const eq = rdn.indexOf('=');
    const type = rdn.slice(0, eq).toLowerCase();
    return `${type === 'o' ? 'OU' : type.toUpperCase()}=${rdn.slice(eq + 1)}`;
  }).join(',') + `,${BASE}`;
}

function ldifValue(name, value) {
  return /^[\x20-\x7e]*$/.test(value) && !/^[ :<]/.test(value)
    ? `${name}: ${value}` : `${name}:: ${Buffer.from(value, 'utf8').toString('base64')}`;
}

function ldifOf(commands) {
  const records = [];
  const ous = new Set(['OU=service']);
  const groups = new Map(); // AD DN -> member DNs
  const users = [];
  const nests = [];
  const parentsOf = (dn) => {
    const rdns = dn.split(',');
    for (let i = 1; i < rdns.length; i++) {
      const parent = rdns.slice(i).join(',');
      if (parent === BASE || !/^OU=/.test(parent)) break;
      ous.add(parent.slice(0, -(BASE.length + 1)));
    }
  };
  const logins = new Map();
  for (const [command, ...args] of commands) {
    if (command === 'add-entry') {
      const dn = adDn(args[0]);
      groups.set(dn, []);
      parentsOf(dn);
    } else if (command === 'add-user') {
      const [login, dn] = args;
      if (REFUSED_LOGIN.test(login)) continue;
      logins.set(login, adDn(dn));
      users.push({ login, dn: adDn(dn) });
      parentsOf(adDn(dn));
    } else if (command === 'set-sev') {
      const user = logins.get(args[0]);
      for (const member of args.slice(1)) {
        if (user && !member.startsWith('guid:')) groups.get(adDn(member))?.push(user);
      }
    } else if (command === 'ad-nest') {
      nests.push([adDn(args[0]), adDn(args[1])]);
    }
  }
  // Parents before children.
  const sortedOus = [...ous].sort((a, b) => a.split(',').length - b.split(',').length);
  for (const ou of sortedOus) records.push(`dn: ${ou},${BASE}\nobjectClass: organizationalUnit`);
  const password = Buffer.from(`"${SERVICE_PASSWORD}"`, 'utf16le').toString('base64');
  records.push(`dn: ${SERVICE_DN}\nobjectClass: user\nsAMAccountName: svc-kavo\n` +
    `unicodePwd:: ${password}\nuserAccountControl: 512`);
  for (const { login, dn } of users) {
    records.push(`${ldifValue('dn', dn)}\nobjectClass: user\n${ldifValue('sAMAccountName', login)}`);
  }
  for (const [dn, members] of groups) {
    records.push([ldifValue('dn', dn), 'objectClass: group', ...members.map((m) => ldifValue('member', m))].join('\n'));
  }
  for (const [inner, outer] of nests) {
    records.push(`${ldifValue('dn', outer)}\nchangetype: modify\nadd: member\n${ldifValue('member', inner)}`);
  }
  records.push(`dn: ${BASE}\nchangetype: modify\nreplace: lockoutThreshold\nlockoutThreshold: 5`);
  return `${records.join('\n\n')}\n`;
}

// Records of LDIF text as ldbsearch prints it: [{ dn, attr: [values] }].
function parseLdif(text) {
  const unfolded = text.replace(/\n /g, '');
  const records = [];
  let record;
  for (const line of unfolded.split('\n')) {
    if (line.startsWith('#') || line === '') {
      record = undefined;
      continue;
    }
    const match = /^([^:]+)(::?) ?(.*)$/.exec(line);
    if (!match) continue;
    const value = match[2] === '::' ? Buffer.from(match[3], 'base64').toString('utf8') : match[3];
    if (match[1] === 'dn') {
      record = { dn: value };
      records.push(record);
    } else if (record) {
      (record[match[1]] ||= []).push(value);
    }
  }
  return records;
}

function run(command, args, what) {
  const done = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 1 << 26 });
  if (done.status !== 0) throw new Error(`${what} failed (status ${done.status}): ${done.stderr}`);
  return done.stdout;
}

function startDomainController(commands) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ksamba-'));
  const ldif = path.join(dir, 'directory.ldif');
  fs.writeFileSync(ldif, ldifOf(commands));
  const dcDir = path.join(dir, 'dc');
  const stop = () => spawnSync(fixture, ['stop', dcDir]);
  try {
    run(fixture, ['start', dcDir, path.join(h.paths.build, 'samba-dc-template'), ldif], 'tools/samba-fixture start');
  } catch (error) {
    stop();
    fs.rmSync(dir, { recursive: true, force: true });
    throw error;
  }
  process.on('exit', stop);
  const dc = {
    dir: dcDir,
    netns: `/proc/${fs.readFileSync(path.join(dcDir, 'pid', 'samba.pid'), 'utf8').trim()}/ns/net`,
    dn: adDn,
    ldbsearch(filter, attrs) {
      return parseLdif(run('ldbsearch', ['-H', path.join(dcDir, 'private', 'sam.ldb'), '-b', BASE, filter, ...attrs], 'ldbsearch'));
    },
    badPasswordCount(login) {
      const [user] = dc.ldbsearch(`(sAMAccountName=${login})`, ['badPwdCount', 'lockoutTime']);
      return { badPwdCount: Number(user.badPwdCount?.[0] ?? 0), lockoutTime: Number(user.lockoutTime?.[0] ?? 0) };
    },
    directoryConf({ timeoutMs = 5000, caFile = path.join(dcDir, 'tls', 'ca.pem'), passwordFile }) {
      return `# the private domain controller\nuri = ldaps://127.0.0.1\nbase = ${BASE}\n` +
        `bind_dn = ${SERVICE_DN}\npassword_file = ${passwordFile}\ntimeout_ms = ${timeoutMs}\n` +
        (caFile ? `tls_ca_file = ${caFile}\n` : '');
    },
    remove() {
      stop();
      process.removeListener('exit', stop);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  // Every user object, as the directory itself reports it.
  dc.truth = new Map(dc.ldbsearch('(&(objectCategory=person)(objectClass=user))', ['sAMAccountName', 'objectSid', 'memberOf'])
    .map((r) => [r.sAMAccountName[0], { sid: r.objectSid[0], memberOf: r.memberOf || [] }]));
  return dc;
}

module.exports = { startDomainController, unavailableReason, SERVICE_PASSWORD, BASE };
