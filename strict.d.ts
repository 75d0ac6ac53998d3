// kavo-interface/strict: the four functions of kavo-interface, synchronous
// and returning the same objects, but throwing a KavoError (the Promise
// API's: code, status, log) where those return undefined.  The limits are
// the same (names at most 254 bytes of UTF-8, a password at most 126).

declare namespace strict {
  type KavoError = import('./promises').KavoError;
  type KavoErrorCode = import('./promises').KavoErrorCode;

  function arb_set_credentials(applicationName: string, username: string, password: string): { status: 'OK' };

  function arb_get_credentials(serviceName: string): { user_name: string; password: string };

  function get_sev_list(
    userType: string,
    userName: string,
  ): { sev_count: number } & { [group: `group${number}`]: string };

  function get_sid_from_name(name: string): { sid: string };
}

export = strict;
