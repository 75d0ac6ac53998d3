// The four functions of kavoInterface.node, as require('kavo-interface')
// returns them.  Every function returns undefined on failure; the reason is
// written to the system log at LOG_ERR (and to standard error with
// KAVO_LOG_STDERR=1).  kavo-interface/strict throws it instead.  The native
// module is loaded by the first call, which throws an Error with code
// ERR_KAVO_PLATFORM_MISSING, ERR_KAVO_PLATFORM_INCOMPATIBLE or
// ERR_KAVO_NOT_BUILT where it cannot be loaded (docs/errors.md).
//
// Limits, in bytes of UTF-8: names at most 254, a password at most 126.  A
// longer string is refused (undefined, "<argument> is longer than <N>
// bytes"), never cut.

declare namespace kavo {
  /** Stores a service's user name and password; the password is stored only
   *  as a blob protected by the machine's cryptographic service.
   *  applicationName and username: at most 254 bytes of UTF-8; password: at
   *  most 126.  A longer string is refused. */
  function arb_set_credentials(
    applicationName: string,
    username: string,
    password: string,
  ): { status: 'OK' } | undefined;

  /** Reads back what arb_set_credentials stored for a service.
   *  serviceName: at most 254 bytes of UTF-8; a longer one is refused. */
  function arb_get_credentials(
    serviceName: string,
  ): { user_name: string; password: string } | undefined;

  /** The distinguished names of a directory user's security-equivalence
   *  entries, each whole; only the user type "dorn" is served, read as its
   *  first four bytes.  userName: at most 254 bytes of UTF-8; a longer one
   *  is refused. */
  function get_sev_list(
    userType: string,
    userName: string,
  ): ({ sev_count: number } & { [group: `group${number}`]: string }) | undefined;

  /** A user's SID in its text form, e.g. "S-1-5-21-...".  name: at most
   *  254 bytes of UTF-8; a longer one is refused. */
  function get_sid_from_name(name: string): { sid: string } | undefined;
}

export = kavo;
