'use strict';
// The coded Error of a failed request, shared by the Promise API and the
// strict API.  The companion module maps the module's per-thread request
// record to a failure ({ code, step, status, lines }); this makes the Error.
//
// `code` and `status` come from the record, never from the text.  `log`
// holds every line the request logged, as the module wrote them.  `message`
// is the module's most specific line (the first it logged, without its
// "MFA-NAPI: <function:line> " prefix), except where that line speaks of the
// module's own steps rather than of what the caller gave: an argument of the
// wrong type, with a NUL byte or too long names the argument and what it
// must be, and "not found" names the service or the user.  Argument values
// are never put into a message, bar the names that were not found.

// The four functions and their string parameters, in order, named as the
// module's own log lines and the typings name them.
const FUNCTIONS = {
  arb_get_credentials: ['serviceName'],
  arb_set_credentials: ['applicationName', 'username', 'password'],
  get_sev_list: ['userType', 'userName'],
  get_sid_from_name: ['name'],
};

const PREFIX = /^MFA-NAPI: <[^>]*> /;

function article(type) {
  return /^[aeiou]/.test(type) ? `an ${type}` : `a ${type}`;
}

function received(value) {
  if (value === undefined || value === null) {
    return String(value);
  }
  return Array.isArray(value) ? 'an array' : article(typeof value);
}

// What the caller is told.  Each argument step fails at the first argument
// that does not pass (the module reads them in order, checking the type,
// then NUL bytes, then the length), and the lines of the two latter steps
// name it; a type failure is at the first argument that is no string.
function messageOf(failure, name, args, line) {
  const parameters = FUNCTIONS[name] ?? [];
  switch (failure.code) {
    case 'ERR_INVALID_ARG_TYPE': {
      const at = parameters.findIndex((_, i) => typeof args[i] !== 'string');
      return at < 0 ? line : `${parameters[at]} must be a string; received ${received(args[at])}`;
    }
    case 'ERR_INVALID_ARG_VALUE': {
      const nul = /^(\w+) contains a NUL byte$/.exec(line);
      return nul ? `${nul[1]} must be a string without NUL bytes` : line;
    }
    case 'ERR_KAVO_TOO_LONG': {
      const long = /^(\w+) is longer than (\d+) bytes$/.exec(line);
      return long ? `${long[1]} must be at most ${long[2]} bytes of UTF-8` : line;
    }
    case 'ERR_KAVO_NOT_FOUND':
      if (name === 'arb_get_credentials') {
        return `no credentials are stored for the service ${JSON.stringify(args[0])}`;
      }
      // The directory's not-found carries its status; an empty list has none.
      if (name === 'get_sev_list' && failure.status === undefined) {
        return `the user ${JSON.stringify(args[1])} has no security-equivalence entries`;
      }
      return `the directory has no user ${JSON.stringify(args[name === 'get_sev_list' ? 1 : 0])}`;
    default:
      return line;
  }
}

// The Error of `failure`, the failed call of function `name` with `args`.
function failureError(failure, name, args) {
  const known = failure !== null && typeof failure === 'object' ? failure : { code: 'ERR_KAVO_PLATFORM' };
  const lines = Array.isArray(known.lines) ? known.lines : [];
  const line = lines.length > 0
    ? lines[0].replace(PREFIX, '').replace(/\n$/, '')
    : 'the request failed without a reason in the log';
  const isArgument = known.code === 'ERR_INVALID_ARG_TYPE' || known.code === 'ERR_INVALID_ARG_VALUE';
  // A string longer than its buffer is out of range rather than of a wrong type.
  const Kind = known.code === 'ERR_KAVO_TOO_LONG' ? RangeError : isArgument ? TypeError : Error;
  const error = new Kind(messageOf(known, name, args, line));
  error.code = known.code;
  error.log = lines;
  if (known.status !== undefined) {
    error.status = known.status;
  }
  return error;
}

module.exports = { FUNCTIONS, failureError };
