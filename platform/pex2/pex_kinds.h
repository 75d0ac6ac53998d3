/* Argument kinds of the operation table (pex_ops.def), as C types.
 *
 * Include this immediately before expanding the table and
 * pex_kinds_end.h immediately after, so that the short kind names never
 * leak into the including file. */
#define U32 uint32_t
#define U8 uint8_t
#define P void *
/* (uint64_t module, <the operation's parameters>) for the library side. */
#define PEX_PARAMS_WITH_MODULE(...) (uint64_t module, __VA_ARGS__)
