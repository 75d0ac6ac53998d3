#!/usr/bin/env node
'use strict';
// get_sid_from_name and get_sev_list against a reference that answers each
// call with one better-sqlite3 query (read-only connection, prepared
// statement) over a copy of the same directory database.  The module goes
// through the directory simulator: a SID lookup and conversion to text, or
// the user's GUID list and then one DN lookup per entry.
//
//   bench/js/directory.js [options of bench/js/run]
//
// Directories of 1,000, 20,000 and 100,000 users are built in the
// simulator's schema (tamo-provision creates it, one transaction fills it):
// 1,000 groups, every user with a SID and a list of 0 to 7 groups, and 16
// users each with lists of exactly 1, 20 and 200 groups.  The timed calls
// cycle through a sample of users spread over the logins (SID, see
// SID_SAMPLES) and through the 16 users of a list size.
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const harness = require('./harness');
const { paths } = require('../../tools/lib/platform');

const GROUPS = 1000;
const LIST_SIZES = [1, 20, 200];
const PER_SIZE = 16;
// SID lookups come in two samples of users spread over all logins, each in a
// shuffled order so that neighbours share no pages.  64 users stay in
// SQLite's default page cache (2 MB per connection) at every size: the
// lookup's own cost, and how it grows with the directory.  4,096 users do
// not fit it at 100,000: nearly every lookup at that size reads pages from
// the OS, on both sides, as a directory serving many users does.
const SID_SAMPLES = { sid: 64, sidSpread: 4096 };

const login = (i) => `user-${String(i).padStart(6, '0')}`;
const sidOf = (i) => `S-1-5-21-1004336348-1177238915-682003330-${1000 + i}`;

// Which users the timed calls use: per SID sample the users spread over
// all logins, and per list size the users at fixed places.
function benchUsers(users) {
  const sid = new Map(Object.entries(SID_SAMPLES).map(([name, wanted]) => {
    const n = Math.min(wanted, users);
    return [name, harness.shuffler(7)(Array.from({ length: n }, (_, k) => Math.floor((k * users) / n)))];
  }));
  const lists = new Map(LIST_SIZES.map((size, s) => [size,
    Array.from({ length: PER_SIZE }, (_, k) => Math.floor(((k * LIST_SIZES.length + s) * users) / (PER_SIZE * 3)) + 1)]));
  return { sid, lists };
}

function buildDirectory(file, users) {
  const init = spawnSync(paths.provision, ['--db', file, 'init'], { encoding: 'utf8' });
  if (init.status !== 0) throw new Error(`tamo-provision init failed: ${init.stderr}`);
  const Database = require('better-sqlite3');
  const db = new Database(file);
  const entry = db.prepare('INSERT INTO entries (guid, login, dn, sid) VALUES (?, ?, ?, ?)');
  const member = db.prepare('INSERT INTO sev (user_guid, position, member_guid) VALUES (?, ?, ?)');
  const { lists } = benchUsers(users);
  const listOf = new Map();
  for (const [size, who] of lists) for (const i of who) listOf.set(i, size);
  db.transaction(() => {
    const groups = [];
    for (let g = 0; g < GROUPS; g++) {
      const guid = crypto.randomBytes(16);
      entry.run(guid, null, `cn=group-${g},ou=groups,o=bench`, null);
      groups.push(guid);
    }
    for (let i = 0; i < users; i++) {
      const guid = crypto.randomBytes(16);
      entry.run(guid, login(i), `cn=${login(i)},ou=people,o=bench`, sidOf(i));
      const size = listOf.get(i) ?? i % 8;
      const start = (i * 37) % GROUPS;
      for (let p = 0; p < size; p++) member.run(guid, p, groups[(start + p * 7) % GROUPS]);
    }
  })();
  db.close();
}

class ReferenceDirectory {
  constructor(file) {
    const Database = require('better-sqlite3');
    this.db = new Database(file, { readonly: true });
    this.sid = this.db.prepare('SELECT sid FROM entries WHERE login = ?');
    // No row: unknown user; one row without position: an empty list; a
    // member without entry (no DN) fails the call, as in the module.
    this.sev = this.db.prepare('SELECT s.position AS position, e.dn AS dn FROM entries AS u' +
      ' LEFT JOIN sev AS s ON s.user_guid = u.guid LEFT JOIN entries AS e ON e.guid = s.member_guid' +
      ' WHERE u.login = ? ORDER BY s.position');
  }

  getSid(name) {
    const row = this.sid.get(name);
    return row === undefined || row.sid === null ? undefined : { sid: row.sid };
  }

  getSevList(name) {
    const rows = this.sev.all(name);
    if (rows.length === 0) return undefined;
    const result = { sev_count: 0 };
    if (rows[0].position === null) return result;
    for (const row of rows) {
      if (row.dn === null) return undefined;
      result[`group${result.sev_count++}`] = row.dn;
    }
    return result;
  }
}

async function setup({ users }, dirs) {
  const file = path.join(dirs.root, 'directory.db');
  buildDirectory(file, users);
  const copy = path.join(dirs.reference, 'directory.db');
  fs.copyFileSync(file, copy);
  const reference = new ReferenceDirectory(copy);
  const addon = require(paths.addon);
  const { sid, lists } = benchUsers(users);
  const cases = {};
  for (const [name, who] of sid) {
    cases[name] = {
      module: (k) => addon.get_sid_from_name(login(who[k % who.length])),
      reference: (k) => reference.getSid(login(who[k % who.length])),
    };
  }
  for (const [size, who] of lists) {
    cases[`sev${size}`] = {
      module: (k) => addon.get_sev_list('dorn', login(who[k % who.length])),
      reference: (k) => reference.getSevList(login(who[k % who.length])),
    };
  }
  return {
    cases,
    // Both sides give the same answers for every user the timed calls use.
    verify() {
      const check = (what, module, ref, count) => {
        const a = JSON.stringify(module);
        if (a !== JSON.stringify(ref)) throw new Error(`${what}: module ${a}, reference ${JSON.stringify(ref)}`);
        if (count !== undefined && module.sev_count !== count) throw new Error(`${what}: ${a} has not ${count} entries`);
      };
      for (const i of sid.get('sidSpread')) {
        check(`SID of ${login(i)}`, addon.get_sid_from_name(login(i)), reference.getSid(login(i)));
        if (addon.get_sid_from_name(login(i)).sid !== sidOf(i)) throw new Error(`wrong SID for ${login(i)}`);
      }
      for (const [size, who] of lists) {
        for (const i of who) {
          check(`list of ${login(i)}`, addon.get_sev_list('dorn', login(i)), reference.getSevList(login(i)), size);
        }
      }
    },
    info: { users, groups: GROUPS },
    close: () => reference.db.close(),
  };
}

const sizes = { small: 1000, main: harness.quick ? 5000 : 20000, large: harness.quick ? 10000 : 100000 };
const count = (n) => n.toLocaleString('en-US');
// [case, label, ratio target at the main size, scale target of the module]
const calls = [
  ['sid', `get_sid_from_name (${SID_SAMPLES.sid} users asked)`, 1.5, 1.3],
  ['sidSpread', `get_sid_from_name (${count(SID_SAMPLES.sidSpread)} users asked)`, 1.5, undefined],
  ...LIST_SIZES.map((n) => [`sev${n}`, `get_sev_list, ${n} entr${n === 1 ? 'y' : 'ies'}`, 3, 1.3]),
];

const rows = [];
for (const [size, users] of Object.entries(sizes)) {
  for (const [name, label, target] of calls) {
    rows.push({ label: `${label}, ${count(users)} users`, kind: 'ratio', target: size === 'main' ? target : undefined,
      measured: [`directory-${size}`, name, 'module'], against: [`directory-${size}`, name, 'reference'] });
  }
}
for (const side of ['module', 'reference']) {
  for (const [name, label, , scaleTarget] of calls) {
    rows.push({ label: `${label}, ${side}, ${count(sizes.large)} / ${count(sizes.small)} users`, kind: 'scale',
      target: side === 'module' ? scaleTarget : undefined,
      measured: ['directory-large', name, side], against: ['directory-small', name, side] });
  }
}

const suite = {
  name: 'directory',
  file: __filename,
  workers: Object.entries(sizes).map(([size, users]) => ({ id: `directory-${size}`, args: { users } })),
  setup,
  rows,
};

module.exports = suite;

if (require.main === module) harness.main([suite]);
