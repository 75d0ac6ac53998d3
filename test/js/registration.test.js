'use strict';
// Loading the add-on: the start-up line, the four functions on the exports
// object, and the failure convention of each function.
const assert = require('node:assert/strict');
const { test } = require('node:test');
const h = require('./support/harness');

const FUNCTIONS = ['arb_get_credentials', 'arb_set_credentials', 'get_sev_list', 'get_sid_from_name'];

test('loading writes exactly one start-up line at LOG_INFO, and each registration one more', { skip: h.skipReason }, () => {
  const once = h.runAddon(() => null);
  assert.deepEqual(once.syslog.map((r) => r.priority), [h.LOG_INFO]);
  assert.match(once.syslog[0].message, h.mfa('Init', 'KAVO-MFA napi have been initialised'));

  // A second registration of the module (a new module object) runs Init again.
  const again = h.runAddon('return typeof loadAddon().get_sid_from_name;');
  assert.equal(again.value, 'function');
  assert.equal(again.syslog.length, 2);
  for (const record of again.syslog) {
    assert.equal(record.priority, h.LOG_INFO);
    assert.match(record.message, h.startupLine);
  }
});

test('exports holds exactly the four functions, read-only and not enumerable', { skip: h.skipReason }, () => {
  const run = h.runAddon((addon) => {
    const names = Object.getOwnPropertyNames(addon).sort();
    const descriptors = names.map((name) => {
      const d = Object.getOwnPropertyDescriptor(addon, name);
      return { name, type: typeof d.value, writable: d.writable, enumerable: d.enumerable, configurable: d.configurable };
    });
    const before = addon.get_sev_list;
    let threw = false;
    try {
      addon.get_sev_list = () => 'replaced';
    } catch (error) {
      threw = error instanceof TypeError;
    }
    return {
      names,
      descriptors,
      keys: Object.keys(addon),
      unchanged: addon.get_sev_list === before,
      threw,
      symbols: Object.getOwnPropertySymbols(addon).length,
    };
  });
  assert.equal(run.type, 'object', run.error);
  const { value } = run;
  assert.deepEqual(value.names, FUNCTIONS);
  for (const d of value.descriptors) {
    assert.deepEqual(d, { name: d.name, type: 'function', writable: false, enumerable: false, configurable: false });
  }
  assert.deepEqual(value.keys, []);
  assert.equal(value.unchanged, true);
  assert.equal(value.symbols, 0);
  assert.deepEqual(h.calls(run), []);
});

test('each function called without arguments yields undefined and one LOG_ERR line of its own', { skip: h.skipReason }, () => {
  for (const name of FUNCTIONS) {
    const run = h.runAddon((addon, fn) => {
      const value = addon[fn]();
      return { isUndefined: value === undefined };
    }, { args: [name] });
    assert.equal(run.type, 'object', `${name} threw: ${run.error}`);
    assert.equal(run.value.isUndefined, true, name);
    const records = h.calls(run);
    assert.equal(records.length, 1, `${name}: ${JSON.stringify(records)}`);
    assert.equal(records[0].priority, h.LOG_ERR, name);
    assert.ok(records[0].message.startsWith(`MFA-NAPI: <${name}:`), records[0].message);
  }
});
