'use strict';
// Child side of harness.js: runs inside the platform sandbox with the
// syslog capture shim preloaded, loads the add-on, runs the test's script
// and writes { type, value } or { error } to $KAVO_RESULT_FILE.
const fs = require('node:fs');

const addonPath = process.env.KAVO_ADDON_PATH;
const { body, args } = JSON.parse(fs.readFileSync(process.env.KAVO_SCRIPT_FILE, 'utf8'));

// Loads the add-on into a new module object; Node registers it each time.
function loadAddon() {
  const module = { exports: {} };
  process.dlopen(module, addonPath);
  return module.exports;
}

async function main() {
  let report;
  try {
    const addon = require(addonPath);
    const AsyncFunction = (async () => {}).constructor;
    const value = await new AsyncFunction('addon', 'args', 'loadAddon', 'require', body)(
      addon, args, loadAddon, require);
    report = { type: typeof value };
    if (value !== undefined) {
      report.value = value;
    }
  } catch (error) {
    report = { type: 'error', error: String(error && error.stack ? error.stack : error) };
  }
  fs.writeFileSync(process.env.KAVO_RESULT_FILE, JSON.stringify(report));
}

main();
