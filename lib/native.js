'use strict';
// Where the package's native files are: <build>/Release/<fileName>, with
// <build> taken from $KAVO_BUILD_DIR (default <package>/build), as the tools
// find them.
const path = require('node:path');

const root = path.resolve(__dirname, '..');

function path_(fileName) {
  const build = path.resolve(process.env.KAVO_BUILD_DIR || path.join(root, 'build'));
  return path.join(build, 'Release', fileName);
}

function load(fileName) {
  return require(path_(fileName));
}

module.exports = { path: path_, load };
