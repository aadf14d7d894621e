/* Named shared memory that lives as long as some process has it attached.
 *
 * A block is a POSIX shared memory object ("/<name>") mapped read-write. Every
 * process that has it attached holds a shared flock on its descriptor, so a
 * creator that can take the exclusive lock knows that nobody else holds the
 * block: it is new (or left by processes that have all ended) and the creator
 * initialises it before calling shm_block_ready(). Opening without creating
 * refuses a block that nobody holds. Blocks owned by another account are
 * refused. Descriptors are close-on-exec. */
#ifndef KYVEK_PLATFORM_SHM_H
#define KYVEK_PLATFORM_SHM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct shm_block {
  void* view;
  size_t size;
  int fd;
} shm_block;

/* Failing steps. */
enum {
  SHM_OK = 0,
  SHM_FAILED_OPEN = -1, /* the object could not be created or opened */
  SHM_FAILED_MAP = -2   /* it could not be mapped */
};

/* Creates or attaches to name (with or without the leading "/"), size bytes.
 * *fresh is 1 when the block is new to the caller (contents undefined until it
 * initialises them and calls shm_block_ready), else 0. Returns SHM_OK or a
 * failing step with the errno value in *error. */
int shm_block_create(const char* name, size_t size, shm_block* out, int* fresh, int* error);

/* Ends the creator's exclusive hold after initialising a fresh block. */
void shm_block_ready(shm_block* block);

/* Attaches to a block some process holds. Returns SHM_OK or a failing step
 * (ENOENT when it does not exist or nobody holds it). */
int shm_block_open(const char* name, size_t size, shm_block* out, int* error);

/* Detaches: unmaps and closes. 0, or the errno value of the first failure. */
int shm_block_close(shm_block* block);

/* Detaches like shm_block_close and removes the name when no other process
 * holds the block, so a clean stop leaves nothing in /dev/shm. */
int shm_block_release(shm_block* block, const char* name);

#ifdef __cplusplus
}
#endif

#endif
