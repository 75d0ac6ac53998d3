// The Node-API functions the add-on imports, for the test programs that
// load the real add-on with dlopen outside Node.js (the module tests).  The
// add-on binds every symbol when it is loaded, so the loading program must
// define them; these programs call only the add-on's C functions, which
// never reach Node-API, so each of these simply fails.  C linkage and
// default visibility come from the declarations in node_api.h.
#include <node_api.h>

napi_status napi_get_cb_info(napi_env, napi_callback_info, size_t *, napi_value *, napi_value *,
                             void **) {
    return napi_generic_failure;
}
napi_status napi_get_value_string_utf8(napi_env, napi_value, char *, size_t, size_t *) {
    return napi_generic_failure;
}
napi_status napi_create_uint32(napi_env, uint32_t, napi_value *) {
    return napi_generic_failure;
}
napi_status napi_create_string_utf8(napi_env, const char *, size_t, napi_value *) {
    return napi_generic_failure;
}
napi_status napi_create_object(napi_env, napi_value *) {
    return napi_generic_failure;
}
napi_status napi_set_named_property(napi_env, napi_value, const char *, napi_value) {
    return napi_generic_failure;
}
napi_status napi_define_properties(napi_env, napi_value, size_t, const napi_property_descriptor *) {
    return napi_generic_failure;
}
