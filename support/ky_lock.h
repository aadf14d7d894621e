/* Numbered process-wide locks 0-5. They exist from the start and are never
 * deleted; each is recursive, so a holder may enter it again (the pool
 * release recurses while holding lock 1, and destructors may free blocks).
 * Lock 1 belongs to the memory pools. */
#ifndef KY_LOCK_H
#define KY_LOCK_H

#include <stdint.h>

#include "ky_api.h"

KY_EXTERN_C_BEGIN

#define KY_LOCK_COUNT 6
#define KY_LOCK_MEMORY 1
#define KY_LOCK_CURSOR 2 /* cursor-name lists of connections */

/* Enter / leave a numbered lock; an index outside 0-5 does nothing.
 * mutex_entry returns 0, mutex_exit null. */
KY_API int mutex_entry(int32_t index);
KY_API void* mutex_exit(int32_t index);

/* Kept for callers of the threading layer: the locks are always present, so
 * creating and deleting them does nothing. Both return 0. */
KY_API int odbc_thread_init(int32_t flag);
KY_API int thread_term(int32_t flag);

KY_EXTERN_C_END

#endif
