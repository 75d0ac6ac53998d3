'use strict';
// The package as an application developer gets it: `npm pack`, then
// `npm install <tarball>` into a fresh application whose PATH holds no
// compiler, CMake or apt.  The installed package must load through
// require() and import, also where there is no platform, let tests stub its
// functions, run an application and the README's examples on the simulated
// platform through `npx kavo-platform`, never reach a simulator outside it,
// and tell with `kavo doctor` what is wrong with a host.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const h = require('./support/harness');

const BUILD_TOOLS = /^(cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|ld|as|make|gmake|cmake|ctest|cpack|apt|apt-get|apt-cache|dpkg|(gcc|g\+\+|cpp|clang|ld|c\+\+)[-.].*|x86_64-.*)$/;

// A folder of links to every command on the usual PATH but the build tools
// and apt.  A folder put in front of PATH would hide nothing: they live in
// /usr/bin beside node itself.
function pathWithoutToolchain(dir) {
  fs.mkdirSync(dir);
  for (const from of ['/usr/local/sbin', '/usr/local/bin', '/usr/sbin', '/usr/bin', '/sbin', '/bin']) {
    if (!fs.existsSync(from)) continue;
    for (const name of fs.readdirSync(from)) {
      const link = path.join(dir, name);
      if (!BUILD_TOOLS.test(name) && !fs.existsSync(link)) {
        fs.symlinkSync(path.join(from, name), link);
      }
    }
  }
  return dir;
}

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', timeout: 300000, ...options });
  assert.equal(result.error, undefined, `${command} ${args.join(' ')}: ${result.error}`);
  return result;
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kavo-package-'));
const app = path.join(work, 'app');
const installed = path.join(app, 'node_modules', 'kavo-interface');
// The application's environment: no npm settings inherited from the
// `npm test` that runs this file, no build directory override.
const appEnv = Object.fromEntries(Object.entries(process.env)
  .filter(([name]) => !/^(npm_|KAVO_|NODE_OPTIONS$|NODE_TEST_CONTEXT$)/.test(name)));
appEnv.PATH = pathWithoutToolchain(path.join(work, 'bin'));

test.before(() => {
  const packed = run('npm', ['pack', '--silent', '--pack-destination', work], { cwd: h.paths.repo });
  assert.equal(packed.status, 0, packed.stderr);
  const tarball = path.join(work, packed.stdout.trim().split('\n').pop());
  fs.mkdirSync(app);
  fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'app', private: true }));
  const started = process.hrtime.bigint();
  const install = run('npm', ['install', '--offline', '--no-audit', '--no-fund', tarball], { cwd: app, env: appEnv });
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  assert.equal(install.status, 0, install.stderr);
  console.log(`consumer install: ${seconds.toFixed(1)} s, tarball ${fs.statSync(tarball).size} bytes`);
});
test.after(() => fs.rmSync(work, { recursive: true, force: true }));

test('the tarball carries the prebuilt files and no tests, and the install builds nothing', () => {
  for (const kept of ['index.js', 'index.mjs', 'promises.js', 'strict.js', 'strict.mjs', 'docs/errors.md',
    'CHANGELOG.md', 'prebuilds/linux-x64/kavoInterface.node',
    'prebuilds/linux-x64/kavoPromises.node',
    'prebuilds/linux-x64/simulators/libpex2.so', 'prebuilds/linux-x64/native.env', 'tools/kavo',
    'tools/kavo-platform', 'CMakePresets.json']) {
    assert.ok(fs.existsSync(path.join(installed, kept)), kept);
  }
  for (const left of ['test', 'fuzz', 'bench', '.ci', 'build', 'CONTRIBUTING.md', 'tools/lib/ldap-fixture.js']) {
    assert.ok(!fs.existsSync(path.join(installed, left)), left);
  }
  // npm may hold install scripts back for review; run the step as it would.
  const install = run(process.execPath, [path.join(installed, 'tools', 'install')], { cwd: installed, env: appEnv });
  assert.equal(install.status, 0, install.stderr);
  assert.match(install.stderr, /using the prebuilt module/);
  assert.ok(!fs.existsSync(path.join(installed, 'build')));
});

test('without prebuilt files the install names the missing tools and installs nothing', () => {
  const bare = path.join(work, 'bare');
  fs.cpSync(installed, bare, { recursive: true });
  fs.rmSync(path.join(bare, 'prebuilds'), { recursive: true });
  const install = run(process.execPath, [path.join(bare, 'tools', 'install')], { cwd: bare, env: appEnv });
  assert.equal(install.status, 1);
  assert.match(install.stderr, /cmake \(Debian package cmake\)/);
  assert.match(install.stderr, /g\+\+ \(Debian package g\+\+\)/);
});

test('a host without the simulators\' SQLite still installs the prebuilt module', () => {
  const noSqlite = path.join(work, 'no-sqlite');
  fs.cpSync(installed, noSqlite, { recursive: true });
  // The carried simulators ask for a SQLite runtime that no host has; a
  // name of the same length keeps their layout.
  const simulators = path.join(noSqlite, 'prebuilds', 'linux-x64', 'simulators');
  let patched = 0;
  for (const name of fs.readdirSync(simulators).filter((file) => file.includes('.so'))) {
    const bytes = fs.readFileSync(path.join(simulators, name));
    const at = bytes.indexOf('libsqlite3.so.0\0');
    if (at >= 0) {
      bytes.write('libsqlite3.so.9', at);
      fs.writeFileSync(path.join(simulators, name), bytes);
      patched++;
    }
  }
  assert.ok(patched > 0, 'no simulator needs SQLite');
  const install = run(process.execPath, [path.join(noSqlite, 'tools', 'install')], { cwd: noSqlite, env: appEnv });
  assert.equal(install.status, 0, install.stderr);
  assert.match(install.stderr, /needs libsqlite3\.so\.9, which this host lacks/);
  assert.match(install.stderr, /using the prebuilt module/);
  assert.ok(!fs.existsSync(path.join(noSqlite, 'build')));
});

test('without a platform the entries load and stub, and the first real call names the missing library', () => {
  const dynamic = run('readelf', ['-d', path.join(installed, 'prebuilds', 'linux-x64', 'kavoInterface.node')]);
  assert.doesNotMatch(dynamic.stdout, /\((RUNPATH|RPATH)\)/);
  assert.match(dynamic.stdout, /\(NEEDED\).*\[libpex2\.so\]/);
  // The native module is loaded at the first call, so an application's
  // tests stub on a machine with no platform library and no simulator.
  fs.writeFileSync(path.join(app, 'bare.mjs'), `
    import { mock } from 'node:test';
    import kavo from 'kavo-interface';
    import strict from 'kavo-interface/strict';
    import promises from 'kavo-interface/promises';
    mock.method(kavo, 'get_sid_from_name', () => ({ sid: 'S-1-0' }));
    const stubbed = kavo.get_sid_from_name('anyone');
    const failure = (e) => ({ code: e.code, message: e.message });
    let first;
    try { kavo.arb_get_credentials('svc'); } catch (e) { first = failure(e); }
    let viaStrict;
    try { strict.get_sid_from_name('alice'); } catch (e) { viaStrict = failure(e); }
    const viaPromise = await promises.get_sid_from_name('alice').then(() => null, failure);
    console.log(JSON.stringify({ stubbed, first, viaStrict, viaPromise }));
  `);
  const bare = run(process.execPath, ['bare.mjs'], { cwd: app, env: appEnv });
  assert.equal(bare.status, 0, bare.stderr);
  const seen = JSON.parse(bare.stdout);
  assert.deepEqual(seen.stubbed, { sid: 'S-1-0' });
  for (const failure of [seen.first, seen.viaStrict, seen.viaPromise]) {
    assert.equal(failure.code, 'ERR_KAVO_PLATFORM_MISSING');
    assert.match(failure.message, /platform library lib(tamo\.so\.0|pex2\.so|kavocredstore\.so) is not installed/);
    assert.match(failure.message, /npx kavo-platform/);
  }
});

test('an application imports, stubs and runs it on a fresh development platform; KAVO_BUILD_DIR is ignored', { skip: h.skipReason }, () => {
  // The same object through require() and the ES default import; named
  // imports; a stub through node:test's mock.method on that object; the
  // README's directory examples on the demo directory of a fresh platform;
  // the strict API's coded error.
  fs.writeFileSync(path.join(app, 'app.mjs'), `
    import { mock } from 'node:test';
    import { createRequire } from 'node:module';
    import kavo, { arb_set_credentials, arb_get_credentials } from 'kavo-interface';
    import { get_sid_from_name } from 'kavo-interface/strict';
    const required = createRequire(import.meta.url)('kavo-interface');
    const stub = mock.method(kavo, 'get_sid_from_name', () => ({ sid: 'S-1-0' }));
    const stubbed = required.get_sid_from_name('anyone');
    stub.mock.restore();
    const stored = arb_set_credentials('app-service', 'app-user', 'app-password');
    let strict;
    try { get_sid_from_name('nobody'); } catch (e) { strict = { code: e.code, status: e.status, message: e.message }; }
    console.log(JSON.stringify({ same: required === kavo, stubbed, stored,
      read: arb_get_credentials('app-service'), sid: kavo.get_sid_from_name('nobody') ?? null,
      alice: get_sid_from_name('alice'), sev: kavo.get_sev_list('dorn', 'alice').sev_count, strict }));
  `);
  const platform = path.join(work, 'dev-platform');
  // An installed package never loads native files from elsewhere.
  const foreign = path.join(work, 'foreign-build');
  fs.mkdirSync(path.join(foreign, 'Release'), { recursive: true });
  fs.writeFileSync(path.join(foreign, 'Release', 'kavoInterface.node'), 'not a module');
  const ran = run('npx', ['--offline', 'kavo-platform', platform, '--', 'node', 'app.mjs'],
    { cwd: app, env: { ...appEnv, KAVO_BUILD_DIR: foreign } });
  assert.equal(ran.status, 0, ran.stderr);
  assert.deepEqual(JSON.parse(ran.stdout), {
    same: true,
    stubbed: { sid: 'S-1-0' },
    stored: { status: 'OK' },
    read: { user_name: 'app-user', password: 'app-password' },
    sid: null,
    alice: { sid: 'S-1-5-21-3623811015-3361044348-30300820-1013' },
    sev: 2,
    strict: { code: 'ERR_KAVO_NOT_FOUND', status: -9001, message: 'the directory has no user "nobody"' },
  });
  // The command line reads what the application stored there.
  const cli = run('npx', ['--offline', 'kavo', '--platform', platform, 'get', '--show-password', 'app-service'],
    { cwd: app, env: appEnv });
  assert.equal(cli.stdout, 'user_name: app-user\npassword: app-password\n', cli.stderr);
});

test('the CLI runs through npx, refuses an empty password and exits by the reason', { skip: h.skipReason }, () => {
  const platform = ['--platform', path.join(work, 'cli-platform')];
  const kavo = (args, options = {}) => run('npx', ['--offline', 'kavo', ...platform, ...args],
    { cwd: app, env: appEnv, ...options });
  const empty = kavo(['set', 'cli-service', 'cli-user'], { input: '\n' });
  assert.equal(empty.status, 2);
  assert.match(empty.stderr, /password is empty; nothing stored/);
  const stored = kavo(['set', 'cli-service', 'cli-user'], { input: 'secret\n' });
  assert.equal(stored.status, 0, stored.stderr);
  const read = kavo(['get', '--show-password', 'cli-service']);
  assert.equal(read.stdout, 'user_name: cli-user\npassword: secret\n');
  // The exit status and the reason come from the coded error.
  const missing = kavo(['get', 'never-stored']);
  assert.equal(missing.status, 1);
  assert.equal(missing.stderr, 'kavo: no credentials are stored for the service "never-stored"\n');
  const unsupported = kavo(['--type', 'ad', 'sev', 'alice']);
  assert.equal(unsupported.status, 2);
  assert.match(unsupported.stderr, /Getting SEV list for AD user is not supported/);
  // Refused rather than stored otherwise than given: too long, not UTF-8.
  const long = kavo(['set', 'cli-service', 'cli-user'], { input: `${'p'.repeat(127)}\n` });
  assert.deepEqual([long.status, long.stderr], [2, 'kavo: password must be at most 126 bytes of UTF-8\n']);
  const notUtf8 = kavo(['set', 'cli-service', 'cli-user'], { input: Buffer.from('se\xffcret\n', 'latin1') });
  assert.deepEqual([notUtf8.status, notUtf8.stderr], [2, 'kavo: the input is not valid UTF-8; nothing stored\n']);
  assert.equal(kavo(['get', '--show-password', 'cli-service']).stdout, read.stdout);
  // A command killed by a signal is a failure, not "not found".
  const killer = path.join(work, 'kill-in-sandbox.js');
  fs.writeFileSync(killer, "if (process.env.KAVO_PLATFORM_ROOT) process.kill(process.pid, 'SIGKILL');\n");
  const killed = kavo(['get', 'cli-service'], { env: { ...appEnv, NODE_OPTIONS: `--require ${killer}` } });
  assert.equal(killed.status, 3, killed.stderr);
  assert.match(killed.stderr, /killed by SIGKILL/);
  const { version } = JSON.parse(fs.readFileSync(path.join(installed, 'package.json'), 'utf8'));
  assert.equal(run('npx', ['--offline', 'kavo', '--version'], { cwd: app, env: appEnv }).stdout,
    `kavo (kavo-interface) ${version}\n`);
  assert.equal(run('npx', ['--offline', 'kavo-platform', '--version'], { cwd: app, env: appEnv }).stdout,
    `kavo-platform (kavo-interface) ${version}\n`);
});

test('kavo doctor passes on a good development platform and names the fault on a damaged one', { skip: h.skipReason }, () => {
  const good = path.join(work, 'doctor-platform');
  const used = run('npx', ['--offline', 'kavo-platform', good, '--', 'node', '-e',
    "require('kavo-interface').arb_set_credentials('svc', 'user', 'pw')"], { cwd: app, env: appEnv });
  assert.equal(used.status, 0, used.stderr);
  const system = path.join(good, 'system');
  const hostConfig = fs.existsSync('/etc/opt/zorvex/vesk64.cfg');
  // Each case: the doctor's command line, and the checks that fail with
  // what their line says.
  const cases = [
    { name: 'a used platform, from inside kavo-platform',
      args: ['kavo-platform', good, '--', 'npx', '--offline', 'kavo', 'doctor', '--json'], failed: {} },
    { name: 'a key-store directory others can write', args: ['kavo', '--platform', good, 'doctor', '--json'],
      damage: () => fs.chmodSync(system, 0o777), repair: () => fs.chmodSync(system, 0o700),
      failed: { 'key-store-directory': /writable by group or others \(mode 0777\).* fix: chmod 0700 \S*doctor-platform\/system$/ } },
    { name: 'a damaged key store', args: ['kavo', '--platform', good, 'doctor', '--json'],
      damage: () => fs.appendFileSync(path.join(system, 'xmgrcfg.ks0'), 'x'),
      failed: { 'key-store': /damaged \(117 bytes, not 116\)/ } },
    { name: 'a token whose PIN file others can read, beside the key file', args: ['kavo', '--platform', good, 'doctor', '--json'],
      damage: () => {
        fs.writeFileSync(path.join(work, 'token.pin'), '1234', { mode: 0o644 });
        fs.copyFileSync(path.join(good, 'vesk64.cfg'), path.join(work, 'vesk64.cfg.kept'));
        const entry = (name, value) => `${name}:s:${value.length}:${value}\n`;
        fs.appendFileSync(path.join(good, 'vesk64.cfg'), entry('Pkcs11Module', process.execPath) +
          entry('Pkcs11TokenLabel', 'dev') + entry('Pkcs11PinFile', path.join(work, 'token.pin')));
      },
      repair: () => fs.renameSync(path.join(work, 'vesk64.cfg.kept'), path.join(good, 'vesk64.cfg')),
      failed: { token: /the PIN file \S*token\.pin has mode 0644 .* fix: chmod 0600/,
        'key-store': /xmgrcfg\.ks0 still holds machine keys beside the token.* fix: finish moving the credentials: kavo rewrap --to-token$/ } },
    { name: 'a host without the platform libraries', args: ['kavo', 'doctor', '--json'],
      failed: { libraries: /the platform library lib(tamo\.so\.0|pex2\.so|kavocredstore\.so) is not installed/,
        ...(hostConfig ? {} : { configuration: /vesk64\.cfg does not exist/ }) } },
  ];
  for (const c of cases) {
    c.damage?.();
    try {
      const doctor = run('npx', ['--offline', ...c.args], { cwd: app, env: appEnv });
      const report = JSON.parse(doctor.stdout);
      assert.deepEqual(report.checks.map((check) => check.name),
        ['libraries', 'configuration', 'key-store-directory', 'token', 'key-store', 'credential-store', 'directory'],
        c.name);
      const failed = report.checks.filter((check) => check.status === 'fail');
      assert.deepEqual(failed.map((check) => check.name), Object.keys(c.failed), `${c.name}: ${doctor.stdout}`);
      for (const check of failed) {
        assert.match(`${check.detail} — fix: ${check.fix}`, c.failed[check.name], c.name);
      }
      assert.equal(doctor.status, failed.length === 0 ? 0 : 1, `${c.name}: ${doctor.stderr}`);
      assert.equal(report.ok, failed.length === 0, c.name);
    } finally {
      c.repair?.();
    }
  }
  // Read-only: the damaged store was left as it was, and the text report has
  // one line per check.
  assert.equal(fs.statSync(path.join(system, 'xmgrcfg.ks0')).size, 117);
  const text = run('npx', ['--offline', 'kavo', '--platform', good, 'doctor'], { cwd: app, env: appEnv });
  assert.equal(text.status, 1);
  assert.match(text.stdout,
    /^(✓ platform libraries: .*\n)(✓ configuration: .*\n)(✓ key-store directory: .*\n)(✓ machine keys in a token: none configured.*\n)/);
  assert.match(text.stdout, /\n✗ key store: .* — fix: put the key store back from a backup; .*\n✓ credential store: .*\n✓ directory: .*\n$/);
});
