/* The service's records are the library's: platform/pex2/pex_records.h.  This
 * header only forwards there for includers that still name it here. */
#include "platform/pex2/pex_records.h"
