// The four functions of kavoInterface.node, as require('kavo-interface')
// returns them.  Every function returns undefined on failure and never
// throws; the reason is written to the system log at LOG_ERR (and to
// standard error with KAVO_LOG_STDERR=1).

declare namespace kavo {
  /** Stores a service's user name and password; the password is stored only
   *  as a blob protected by the machine's cryptographic service.  Strings are
   *  cut to 254 (names) and 126 (password) bytes of UTF-8. */
  function arb_set_credentials(
    applicationName: string,
    username: string,
    password: string,
  ): { status: 'OK' } | undefined;

  /** Reads back what arb_set_credentials stored for a service. */
  function arb_get_credentials(
    serviceName: string,
  ): { user_name: string; password: string } | undefined;

  /** The distinguished names of a directory user's security-equivalence
   *  entries; only the user type "dorn" is served. */
  function get_sev_list(
    userType: string,
    userName: string,
  ): ({ sev_count: number } & { [group: `group${number}`]: string }) | undefined;

  /** A user's SID in its text form, e.g. "S-1-5-21-...". */
  function get_sid_from_name(name: string): { sid: string } | undefined;
}

export = kavo;
