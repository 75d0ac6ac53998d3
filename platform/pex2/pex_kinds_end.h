/* Ends a block opened by pex_kinds.h. */
#undef U32
#undef U8
#undef P
#undef PEX_PARAMS_WITH_MODULE
