// ESM entry of kavo-interface/promises: the same object as the CommonJS
// entry, and its four functions as named exports.
import promises from './promises.js';

export const { arb_set_credentials, arb_get_credentials, get_sev_list, get_sid_from_name } = promises;
export default promises;
