'use strict';
// kavo-interface/promises: the module's four functions returning Promises.
//
// The work runs off the JavaScript thread, as Node-API async work on the
// libuv thread pool, through the package's companion module
// kavoPromises.node.  The companion runs the very phases the synchronous
// functions run (argument reading, request core, result making), so a
// Promise resolves with exactly what the synchronous call returns for the
// same arguments, and a failure writes the same system-log lines.  A failure
// rejects with an Error whose `code` says what went wrong (see promises.d.ts),
// whose `message` is the most specific line the module logged, and whose
// `log` holds every line the request logged; `status` is the platform
// library's status where there was one.
//
// Credential requests are serialised by the module's request lock, so the
// companion queues them, process-wide: at most one of them, from any
// thread, occupies a pool thread at a time, and the application's own
// file, crypto and DNS work on the pool never waits behind them.
const { types } = require('node:util');
const native = require('./lib/native');

const ADDON = 'kavoInterface.node';
const COMPANION = 'kavoPromises.node';

native.load(ADDON);
const companion = native.load(COMPANION);
companion.bind(native.path(ADDON));

// kind: the companion's request kind; arity: the number of string
// arguments; an options object may follow them.
const FUNCTIONS = {
  arb_set_credentials: { kind: 0, arity: 3 },
  arb_get_credentials: { kind: 1, arity: 1 },
  get_sev_list: { kind: 2, arity: 2 },
  get_sid_from_name: { kind: 3, arity: 1 },
};

const PREFIX = /^MFA-NAPI: <[^>]*> /;

class AbortError extends Error {
  constructor(message = 'The operation was aborted', options = undefined) {
    super(message, options);
    this.code = 'ABORT_ERR';
    this.name = 'AbortError';
  }
}

function abortError(signal) {
  return new AbortError(undefined, { cause: signal.reason });
}

function invalidType(message) {
  const error = new TypeError(message);
  error.code = 'ERR_INVALID_ARG_TYPE';
  error.log = [];
  return error;
}

// The module's failure record as an Error.
function failureError(failure) {
  const lines = Array.isArray(failure.lines) ? failure.lines : [];
  const message = lines.length > 0
    ? lines[0].replace(PREFIX, '').replace(/\n$/, '')
    : 'the request failed without a reason in the log';
  const isArgument = failure.code === 'ERR_INVALID_ARG_TYPE' || failure.code === 'ERR_INVALID_ARG_VALUE';
  // A string longer than its buffer is out of range rather than of a wrong type.
  const Kind = failure.code === 'ERR_KAVO_TOO_LONG' ? RangeError : isArgument ? TypeError : Error;
  const error = new Kind(message);
  error.code = failure.code;
  error.log = lines;
  if (failure.status !== undefined) {
    error.status = failure.status;
  }
  return error;
}

function signalOf(options) {
  if (options === undefined || options === null) {
    return undefined;
  }
  if (typeof options !== 'object') {
    throw invalidType(`The "options" argument must be of type object. Received type ${typeof options}`);
  }
  const { signal } = options;
  if (signal !== undefined && !(signal instanceof AbortSignal)) {
    throw invalidType('The "options.signal" property must be an instance of AbortSignal');
  }
  return signal;
}

function settle(job, error, value) {
  if (job.settled) {
    return;
  }
  job.settled = true;
  if (job.signal) {
    job.signal.removeEventListener('abort', job.onAbort);
  }
  if (error) {
    job.reject(error);
  } else {
    job.resolve(value);
  }
}

function run(job) {
  const { kind, arity } = job.spec;
  const args = job.args;
  const started = companion.start(kind, args[0], arity > 1 ? args[1] : undefined,
    arity > 2 ? args[2] : undefined, (failure, value, cancelled) => {
      job.token = undefined;
      if (cancelled) settle(job, abortError(job.signal));
      else if (failure) settle(job, failureError(failure));
      else settle(job, null, value);
    });
  if (types.isExternal(started)) {
    job.token = started;
  } else {
    // The arguments were refused; nothing was queued.
    settle(job, failureError(started));
  }
}

function onAbort(job) {
  // Succeeds only if the core has not started (a credential request still
  // waiting for its turn, or work not yet picked up by the pool); the
  // callback then rejects.  A request already running is left to finish.
  if (!job.settled && job.token !== undefined) {
    companion.cancel(job.token);
  }
}

function call(spec, args) {
  return new Promise((resolve, reject) => {
    let signal;
    try {
      signal = signalOf(args[spec.arity]);
    } catch (error) {
      reject(error);
      return;
    }
    if (signal && signal.aborted) {
      reject(abortError(signal));
      return;
    }
    const job = { spec, args: args.slice(0, spec.arity), resolve, reject, signal, token: undefined, settled: false };
    if (signal) {
      job.onAbort = () => onAbort(job);
      signal.addEventListener('abort', job.onAbort, { once: true });
    }
    run(job);
  });
}

module.exports = {
  arb_set_credentials(applicationName, username, password, options) {
    return call(FUNCTIONS.arb_set_credentials, [applicationName, username, password, options]);
  },
  arb_get_credentials(serviceName, options) {
    return call(FUNCTIONS.arb_get_credentials, [serviceName, options]);
  },
  get_sev_list(userType, userName, options) {
    return call(FUNCTIONS.get_sev_list, [userType, userName, options]);
  },
  get_sid_from_name(name, options) {
    return call(FUNCTIONS.get_sid_from_name, [name, options]);
  },
};
