'use strict';
// kavo-interface/promises: the module's four functions returning Promises.
//
// The work runs off the JavaScript thread, on threads of the package's
// companion module kavoPromises.node (one for credential requests, a few for
// directory lookups; never the libuv pool).  The companion runs the very
// phases the synchronous functions run (argument reading, request core,
// result making), so a Promise resolves with exactly what the synchronous
// call returns for the same arguments, and a failure writes the same
// system-log lines.  A failure rejects with an Error whose `code` says what
// went wrong (see promises.d.ts), whose `log` holds every line the module
// logged for the request, and whose `status` is the platform library's
// status where there was one; its `message` is made by lib/errors.js.  The
// native modules are loaded by the first call (lib/binding.js), whose
// Promise rejects if they cannot be.
const { types } = require('node:util');
const { companion } = require('./lib/binding');
const { FUNCTIONS, failureError } = require('./lib/errors');

class AbortError extends Error {
  constructor(message = 'The operation was aborted', options = undefined) {
    super(message, options);
    this.code = 'ABORT_ERR';
    this.name = 'AbortError';
  }
}

function invalidType(message) {
  const error = new TypeError(message);
  error.code = 'ERR_INVALID_ARG_TYPE';
  error.log = [];
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

// One 'abort' listener per signal, however many requests wait on it: the
// signal maps to the set of its unsettled requests, and the listener goes
// when the last of them settles.
const waitingOn = new WeakMap();

function onAbort() {
  const jobs = waitingOn.get(this);
  waitingOn.delete(this);
  for (const job of jobs ?? []) {
    // A queued request is dropped; one that runs is left to finish, and its
    // result is dropped.  Either way the Promise rejects now.
    companion().cancel(job.token);
    settle(job, { aborted: true });
  }
}

function watch(job) {
  let jobs = waitingOn.get(job.signal);
  if (jobs === undefined) {
    jobs = new Set();
    waitingOn.set(job.signal, jobs);
    job.signal.addEventListener('abort', onAbort, { once: true });
  }
  jobs.add(job);
}

function unwatch(job) {
  const jobs = waitingOn.get(job.signal);
  if (jobs !== undefined && jobs.delete(job) && jobs.size === 0) {
    waitingOn.delete(job.signal);
    job.signal.removeEventListener('abort', onAbort);
  }
}

// Resolves the job's inner Promise once, with { value }, { failure } or
// { aborted }.
function settle(job, outcome) {
  if (job.token === undefined) {
    return;
  }
  job.token = undefined;
  if (job.signal !== undefined) {
    unwatch(job);
  }
  job.resolve(outcome);
}

function submit(kind, args, signal, resolve) {
  const job = { token: null, signal, resolve };
  const started = companion().start(kind, args[0], args[1], args[2],
    (failure, value) => settle(job, failure ? { failure } : { value }));
  if (!types.isExternal(started)) {
    // The arguments were refused; nothing was queued.
    settle(job, { failure: started });
    return;
  }
  job.token = started;
  if (signal !== undefined) {
    watch(job);
  }
}

// The Error is made here, where the caller's `await` resumes, so that
// Node's async stack trace shows the calling function.
async function call(name, options, args) {
  const signal = signalOf(options);
  if (signal?.aborted) {
    throw new AbortError(undefined, { cause: signal.reason });
  }
  const { kind } = companion().requests[name];
  const outcome = await new Promise((resolve) => submit(kind, args, signal, resolve));
  if (outcome.aborted) {
    throw new AbortError(undefined, { cause: signal.reason });
  }
  if (outcome.failure) {
    throw failureError(outcome.failure, name, args);
  }
  return outcome.value;
}

// One function per request: its string arguments, then an optional options
// object.  The companion's request table gives each its kind.
function requestFunction(name, arity) {
  const fn = { [name]: (...args) => call(name, args[arity], args.slice(0, arity)) }[name];
  return Object.defineProperty(fn, 'length', { value: arity + 1 });
}

module.exports = Object.fromEntries(
  Object.entries(FUNCTIONS).map(([name, parameters]) => [name, requestFunction(name, parameters.length)]));
