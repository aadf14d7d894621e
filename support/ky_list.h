/* Doubly linked lists whose headers and nodes come from a memory pool, and
 * typed nodes: zeroed records whose first 32-bit field is their node kind,
 * recycled through the pool's size-class cache (the kind is the class). */
#ifndef KY_LIST_H
#define KY_LIST_H

#include <stdint.h>

#include "ky_api.h"
#include "ky_mem.h"

KY_EXTERN_C_BEGIN

typedef struct ListNode ListNode;
typedef struct List List;

struct ListNode {
  void* data;
  ListNode* next;
  ListNode* prior;
};

struct List {
  ListNode* first;
  ListNode* last;
  int32_t count;
};

/* Node kinds in use. */
#define KY_NODE_STMT_REF 138 /* statement node whose select part lies in another node */
#define KY_NODE_VALUE 154
#define KY_NODE_VALUE_INLINE 166
#define KY_NODE_ENV 200
#define KY_NODE_DBC 201
#define KY_NODE_STMT 202
#define KY_NODE_ERROR_HEADER 300
#define KY_NODE_ERROR_RECORD 301

/* Called for every item: data, the caller's argument, nonzero for the last. */
typedef void (*ListEnumerateFn)(void* data, void* arg, int last);

KY_API int32_t ListCount(List* list);
KY_API ListNode* ListFirst(List* list);
KY_API ListNode* ListLast(List* list);
KY_API ListNode* ListNext(ListNode* node);
KY_API ListNode* ListPrior(ListNode* node);
KY_API void* ListData(ListNode* node);
KY_API void ListRewrite(ListNode* node, void* data);

/* Appends data; a null list gets a new header from the pool. Returns the
 * list, or null when memory runs out (the list is then unchanged). */
KY_API List* ListAppend(void* data, List* list, mem_handle* pool);

/* Links b's nodes after a's last and returns a (b when a is null). b's header
 * is emptied, since its nodes now belong to a. */
KY_API List* ListMerge(List* a, List* b);

/* Calls fn(data, arg, last) for every node in order; returns null. */
KY_API void* ListEnumerate(List* list, ListEnumerateFn fn, void* arg);

/* Unlinks node, returns it to the pool and gives back its successor; null for
 * a null or empty list or a null node. */
KY_API ListNode* ListDelete(List* list, ListNode* node, mem_handle* pool);

/* Zero-filled node of `size` bytes (at least 4) with its kind set; the kind
 * selects the size class. A value cell of kind 154 also records the pool.
 * Null on failure. */
KY_API void* newNode(int32_t size, int32_t kind, mem_handle* pool);

/* Statement node layout that extract_select understands: the kind, then the
 * select part (for kind 138: the statement node it refers to). */
typedef struct ky_stmt_node {
  int32_t node_kind;
  void* select;
} ky_stmt_node;

/* The select part of a statement node: for kind 138 that of the node it
 * refers to, else its own; null for null. */
KY_API void* extract_select(void* node);

KY_EXTERN_C_END

#endif
