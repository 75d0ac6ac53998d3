// kavo-interface/promises: the four functions of kavo-interface returning
// Promises.  Each resolves with exactly what the synchronous function
// returns for the same arguments and rejects, never throws, with a
// KavoError on failure (docs/errors.md).  The limits are the synchronous functions' (names at
// most 254 bytes of UTF-8, a password at most 126); a longer string rejects
// with ERR_KAVO_TOO_LONG.

declare namespace promises {
  interface KavoOptions {
    /** Rejects the Promise at once with a KavoAbortError when aborted.  A
     *  request not yet started is dropped; one already running finishes
     *  (a store may still take effect) and its result is dropped. */
    signal?: AbortSignal;
  }

  type KavoErrorCode =
    /** An argument is not a string (a TypeError). */
    | 'ERR_INVALID_ARG_TYPE'
    /** A string argument holds a NUL byte (a TypeError). */
    | 'ERR_INVALID_ARG_VALUE'
    /** A string argument is longer than its limit: 254 bytes of UTF-8 for a
     *  name, 126 for the password (a RangeError). */
    | 'ERR_KAVO_TOO_LONG'
    /** A service never stored (the credential store's -802); a user the
     *  directory does not know (the directory library's "not found" status,
     *  -9001 from the simulator; any other directory status is
     *  ERR_KAVO_PLATFORM); a user whose security-equivalence list is empty. */
    | 'ERR_KAVO_NOT_FOUND'
    /** A user type other than "dorn". */
    | 'ERR_KAVO_UNSUPPORTED'
    /** Any other failure of the platform: credential store, protection,
     *  crypto service, directory, memory. */
    | 'ERR_KAVO_PLATFORM'
    /** The first call only: the native module cannot be loaded, because a
     *  platform library is missing, of another version, the package's native
     *  files are missing, or (in a checkout) KAVO_BUILD_DIR is relative. */
    | 'ERR_KAVO_PLATFORM_MISSING'
    | 'ERR_KAVO_PLATFORM_INCOMPATIBLE'
    | 'ERR_KAVO_NOT_BUILT'
    | 'ERR_KAVO_BUILD_DIR';

  interface KavoError extends Error {
    code: KavoErrorCode;
    /** Every line the module logged for the request, in order, whole. */
    log: string[];
    /** The platform library's status, where there was one. */
    status?: number;
  }

  /** Rejected with when the signal was aborted before the request settled. */
  interface KavoAbortError extends Error {
    name: 'AbortError';
    code: 'ABORT_ERR';
  }

  function arb_set_credentials(
    applicationName: string,
    username: string,
    password: string,
    options?: KavoOptions,
  ): Promise<{ status: 'OK' }>;

  function arb_get_credentials(
    serviceName: string,
    options?: KavoOptions,
  ): Promise<{ user_name: string; password: string }>;

  function get_sev_list(
    userType: string,
    userName: string,
    options?: KavoOptions,
  ): Promise<{ sev_count: number } & { [group: `group${number}`]: string }>;

  function get_sid_from_name(name: string, options?: KavoOptions): Promise<{ sid: string }>;
}

export = promises;
