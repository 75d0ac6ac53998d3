// ES module view of strict.d.ts: the default export is the object that
// require('kavo-interface/strict') returns, the named exports its functions.
import strict from './strict.js';

export default strict;
export type KavoError = strict.KavoError;
export type KavoErrorCode = strict.KavoErrorCode;
export declare const arb_set_credentials: typeof strict.arb_set_credentials;
export declare const arb_get_credentials: typeof strict.arb_get_credentials;
export declare const get_sev_list: typeof strict.get_sev_list;
export declare const get_sid_from_name: typeof strict.get_sid_from_name;
