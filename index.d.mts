// ES module view of index.d.ts: the default export is the object that
// require('kavo-interface') returns, the named exports its functions.
import kavo from './index.js';

export default kavo;
export declare const arb_get_credentials: typeof kavo.arb_get_credentials;
export declare const arb_set_credentials: typeof kavo.arb_set_credentials;
export declare const get_sev_list: typeof kavo.get_sev_list;
export declare const get_sid_from_name: typeof kavo.get_sid_from_name;
