/* The one export macro of the module.
 *
 * Everything is compiled with hidden visibility; a function or object that is
 * part of the module's C interface is marked KAVO_EXPORT at its declaration in
 * the layer's public header, and nothing else leaves the shared object. */
#ifndef KAVO_EXPORT_H
#define KAVO_EXPORT_H

#define KAVO_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define KAVO_BEGIN_DECLS extern "C" {
#define KAVO_END_DECLS }
#else
#define KAVO_BEGIN_DECLS
#define KAVO_END_DECLS
#endif

#endif
