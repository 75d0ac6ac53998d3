'use strict';
// Loads the native add-on built by `npm install` (tools/build).
const path = require('node:path');

module.exports = require(path.join(__dirname, 'build', 'Release', 'kavoInterface.node'));
