// ESM entry of kavo-interface/strict: the same object as the CommonJS entry,
// and its four functions as named exports.
import strict from './strict.js';

export const { arb_set_credentials, arb_get_credentials, get_sev_list, get_sid_from_name } = strict;
export default strict;
