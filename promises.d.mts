// ES module view of promises.d.ts: the default export is the object that
// require('kavo-interface/promises') returns, the named exports its
// functions.
import promises from './promises.js';

export default promises;
export type KavoOptions = promises.KavoOptions;
export type KavoErrorCode = promises.KavoErrorCode;
export type KavoError = promises.KavoError;
export type KavoAbortError = promises.KavoAbortError;
export declare const arb_set_credentials: typeof promises.arb_set_credentials;
export declare const arb_get_credentials: typeof promises.arb_get_credentials;
export declare const get_sev_list: typeof promises.get_sev_list;
export declare const get_sid_from_name: typeof promises.get_sid_from_name;
