// ES module entry: the default export is the very object that
// require('kavo-interface') returns; the named exports are the functions as
// they were when the module was imported (bindings cannot be stubbed: stub
// on the default export instead).
import kavo from './index.js';

export default kavo;
export const { arb_get_credentials, arb_set_credentials, get_sev_list, get_sid_from_name } = kavo;
