// Pool operations used by other units of the library (not exported).
#ifndef KY_MEM_INTERNAL_H
#define KY_MEM_INTERNAL_H

#include <cstdint>

#include "ky_mem.h"

namespace ky {

// A block of `size` bytes from the size-class cache of `cls`. A class outside
// 0-999, or one already used with another size, gives an ordinary block.
// Contents are not cleared.
void* mem_alloc_class(mem_handle* pool, int32_t size, int32_t cls);

// Number of blocks cached for a class (0 outside 0-999).
int32_t mem_cached_blocks(int32_t cls);

// Tests only: the next `blocks` block allocations succeed, then one fails
// (a cached block is reused without counting). -1 turns failures off.
void mem_fail_after(int blocks);

// The header of a caller's pointer, or null when ptr is not a live block.
mem_block* mem_block_of(void* ptr);

}  // namespace ky

#endif
