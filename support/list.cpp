// Doubly linked lists allocated from a pool, and typed nodes from the pool's
// size-class cache. A list is not locked: its owner serialises use.
#include <cstring>

#include "ky_list.h"
#include "ky_value.h"
#include "mem_internal.h"

extern "C" {

KY_API int32_t ListCount(List* list) { return list ? list->count : 0; }
KY_API ListNode* ListFirst(List* list) { return list ? list->first : nullptr; }
KY_API ListNode* ListLast(List* list) { return list ? list->last : nullptr; }
KY_API ListNode* ListNext(ListNode* node) { return node ? node->next : nullptr; }
KY_API ListNode* ListPrior(ListNode* node) { return node ? node->prior : nullptr; }
KY_API void* ListData(ListNode* node) { return node ? node->data : nullptr; }

KY_API void ListRewrite(ListNode* node, void* data) {
  if (node) node->data = data;
}

KY_API List* ListAppend(void* data, List* list, mem_handle* pool) {
  if (!pool) return nullptr;
  auto* node = static_cast<ListNode*>(ky_mem_alloc(pool, sizeof(ListNode)));
  if (!node) return nullptr;
  if (!list) {
    list = static_cast<List*>(ky_mem_alloc(pool, sizeof(List)));
    if (!list) {
      ky_mem_free(pool, node);
      return nullptr;
    }
    *list = List{};
  }
  *node = ListNode{data, nullptr, list->last};
  if (list->last) {
    list->last->next = node;
  } else {
    list->first = node;
  }
  list->last = node;
  list->count++;
  return list;
}

KY_API List* ListMerge(List* a, List* b) {
  if (!a) return b;
  if (!b || b == a || !b->first) return a;
  if (a->last) {
    a->last->next = b->first;
    b->first->prior = a->last;
  } else {
    a->first = b->first;
  }
  a->last = b->last;
  a->count += b->count;
  // b's nodes now belong to a; deleting them through b would corrupt a.
  *b = List{};
  return a;
}

KY_API void* ListEnumerate(List* list, ListEnumerateFn fn, void* arg) {
  if (!list || !fn) return nullptr;
  for (ListNode* n = list->first; n;) {
    ListNode* next = n->next;  // the callback may rewrite the node's data
    fn(n->data, arg, next == nullptr);
    n = next;
  }
  return nullptr;
}

KY_API ListNode* ListDelete(List* list, ListNode* node, mem_handle* pool) {
  if (!list || !node || list->count <= 0) return nullptr;
  ListNode* next = node->next;
  if (node->prior) {
    node->prior->next = next;
  } else {
    list->first = next;
  }
  if (next) {
    next->prior = node->prior;
  } else {
    list->last = node->prior;
  }
  list->count--;
  ky_mem_free(pool, node);
  return next;
}

KY_API void* newNode(int32_t size, int32_t kind, mem_handle* pool) {
  if (size < static_cast<int32_t>(sizeof(int32_t))) return nullptr;
  void* node = ky::mem_alloc_class(pool, size, kind);
  if (!node) return nullptr;
  std::memset(node, 0, static_cast<size_t>(size));
  std::memcpy(node, &kind, sizeof kind);
  if (kind == KY_NODE_VALUE && size >= static_cast<int32_t>(sizeof(Value))) static_cast<Value*>(node)->pool = pool;
  return node;
}

KY_API void* extract_select(void* node) {
  auto* n = static_cast<ky_stmt_node*>(node);
  if (!n) return nullptr;
  if (n->node_kind == KY_NODE_STMT_REF) {
    auto* ref = static_cast<ky_stmt_node*>(n->select);
    return ref ? ref->select : nullptr;
  }
  return n->select;
}

}  // extern "C"
