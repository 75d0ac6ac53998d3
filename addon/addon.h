/* Node-API add-on layer: the exported C functions of the module's four
 * JavaScript calls and of their helpers.
 *
 * Every function here is exported under its C name.  The JavaScript callbacks
 * never throw: a failing step writes one LOG_ERR line to the system log and
 * the call returns a null napi_value, which JavaScript sees as undefined. */
#ifndef KAVO_ADDON_H
#define KAVO_ADDON_H

#include <node_api.h>
#include <stdint.h>

#include "osa/export.h"

KAVO_BEGIN_DECLS

/* Registration (module.cpp). */
KAVO_EXPORT napi_value Init(napi_env env, napi_value exports);

/* The four JavaScript functions. */
KAVO_EXPORT napi_value arb_get_credentials(napi_env env, napi_callback_info info);
KAVO_EXPORT napi_value arb_set_credentials(napi_env env, napi_callback_info info);
KAVO_EXPORT napi_value get_sev_list(napi_env env, napi_callback_info info);
KAVO_EXPORT napi_value get_sid_from_name(napi_env env, napi_callback_info info);

/* SID lookup and security-equivalence list helpers. */
KAVO_EXPORT uint16_t GetNextUnicodeCharFromUTF8String(const unsigned char **cursor);
/* Writes the name as UTF-16LE (characters above U+FFFF as surrogate pairs)
 * and two zero bytes into `target`, 2 x (strlen(source) + 1) bytes; returns
 * the bytes written before the zeros.  A byte that does not convert is
 * skipped. */
KAVO_EXPORT int32_t ConvertUTF8ToUnicodeString(const char *source, unsigned char *target);
KAVO_EXPORT char *ConvertGUIDToString(char *buffer, const unsigned char *guid);
/* The user's security-equivalence list: `*count` slots of 256 bytes, one
 * DN each, to be released with free(), or null after logging.  The slots
 * are a fixed layout: a DN longer than 255 bytes is cut to its first 255
 * bytes here (get_sev_list itself returns every DN whole).  A name that
 * does not convert whole to UTF-16 is refused rather than looked up as
 * another user's. */
KAVO_EXPORT char *GetSevListDornUser(const char *userName, int32_t *count);

/* Credential storage and retrieval (credentials.cpp). */
typedef struct ProtectedSecret ProtectedSecret;
KAVO_EXPORT int32_t encryptCredential(const char *password, ProtectedSecret *protectedSecret);
KAVO_EXPORT int32_t set_creds_in_arb(const char *serviceName, const char *userName,
                                     const char *password);
KAVO_EXPORT int32_t load_creds_from_arb(const char *serviceName, char *userNameOut,
                                        char *passwordOut);

KAVO_END_DECLS

#endif
