'use strict';
// The private slapd of tools/ldap-fixture for JavaScript tests and
// benchmarks: loads a directory exported from an SQLite directory database
// (tamo-provision export-ldif) into a new server in a temporary folder.
//
//   const server = startDirectoryServer({ database, base, port })
//   server.uri, server.dir, server.dataDir (what tools/ldap-fixture is
//   given), server.pid(); with a port, server.tcpUri (ldap://127.0.0.1:port)
//   server.directoryConf({ timeoutMs, uri })   text of a directory.conf for
//                                         it (uri: another way to it)
//   server.stop(), server.start()         the data stays between them
//   server.remove()                       stops it and deletes the folder
// A server still running when the process exits is stopped then.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { paths } = require('./platform');

const running = new Set();
process.on('exit', () => {
  for (const server of running) server.stop();
});

// Why no server can be started here, or undefined when one can.
function unavailableReason() {
  const found = spawnSync('sh', ['-c', 'command -v slapd || test -x /usr/sbin/slapd'], { encoding: 'utf8' });
  return found.status === 0 ? undefined : 'slapd is not installed (tools/setup-deps installs slapd and ldap-utils)';
}

function fixture(...args) {
  const run = spawnSync(paths.ldapFixture, args, { encoding: 'utf8' });
  if (run.status !== 0) {
    throw new Error(`tools/ldap-fixture ${args[0]} failed (status ${run.status}): ${run.stderr}`);
  }
  return run.stdout.trim();
}

function startDirectoryServer({ database, base, port }) {
  // Short: the socket's path must fit a UNIX socket address.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kldap-'));
  try {
    return startIn(dir, database, base, port);
  } catch (error) {
    fs.rmSync(dir, { recursive: true, force: true });
    throw error;
  }
}

function startIn(dir, database, base, port) {
  const ldif = path.join(dir, 'directory.ldif');
  const exported = spawnSync(paths.provision, ['--db', database, 'export-ldif', base],
    { encoding: 'buffer', maxBuffer: 1 << 30 });
  if (exported.status !== 0) {
    throw new Error(`tamo-provision export-ldif failed: ${exported.stderr}`);
  }
  fs.writeFileSync(ldif, exported.stdout);
  const data = path.join(dir, 'server');
  const server = {
    dir,
    dataDir: data,
    uri: fixture('start', data, ...(port ? ['--port', String(port)] : []), ldif),
    tcpUri: port ? `ldap://127.0.0.1:${port}` : undefined,
    pid: () => Number(fs.readFileSync(path.join(data, 'slapd.pid'), 'utf8')),
    // The fixture's entries are all of one class of its own: it is the
    // user filter for this schema; slapd gives an entry's DN as entryDN.
    directoryConf: ({ timeoutMs = 5000, uri = server.uri } = {}) =>
      `# the private test directory\nuri = ${uri}\nbase = ${base}\ntimeout_ms = ${timeoutMs}\n` +
      'user_filter = (objectClass=kavoDirectoryEntry)\ndn_attribute = entryDN\n',
    stop() {
      fixture('stop', data);
      running.delete(server);
    },
    start() {
      fixture('start', data);
      running.add(server);
    },
    remove() {
      server.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  running.add(server);
  return server;
}

module.exports = { startDirectoryServer, unavailableReason, fixturePath: paths.ldapFixture };
