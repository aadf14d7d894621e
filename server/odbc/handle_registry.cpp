// Per-link registry of issued handles (see handle_registry.h).
#include "handle_registry.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

#include "handle_alloc.h"
#include "kyrpc.h"
#include "net_connection.h"

struct veks_handle_registry {
  std::mutex mutex;
  std::unordered_map<uintptr_t, int16_t> handles;  // guarded by mutex
  RpcHandle* rpc = nullptr;                        // the link, when made by veks_registry_for_link
};

namespace {

thread_local veks_handle_registry* t_current = nullptr;

// Links and their registries, for handles without a per-connection record.
std::mutex g_links_mutex;
std::map<RpcHandle*, veks_handle_registry*> g_links;  // guarded by g_links_mutex

void forget_link(veks_handle_registry* reg) {
  std::lock_guard<std::mutex> lock(g_links_mutex);
  for (auto it = g_links.begin(); it != g_links.end(); ++it) {
    if (it->second == reg) {
      g_links.erase(it);
      return;
    }
  }
}

}  // namespace

extern "C" {

veks_handle_registry* veks_registry_create(void) { return new (std::nothrow) veks_handle_registry; }

void veks_registry_destroy(veks_handle_registry* reg) {
  if (reg == nullptr) return;
  if (t_current == reg) t_current = nullptr;
  forget_link(reg);
  delete reg;
}

int veks_registry_add(veks_handle_registry* reg, const void* record, int16_t kind) {
  if (reg == nullptr || record == nullptr) return -1;
  try {
    std::lock_guard<std::mutex> lock(reg->mutex);
    reg->handles[reinterpret_cast<uintptr_t>(record)] = kind;
    return 0;
  } catch (...) {
    return -1;
  }
}

void veks_registry_remove(veks_handle_registry* reg, const void* record) {
  if (reg == nullptr) return;
  std::lock_guard<std::mutex> lock(reg->mutex);
  reg->handles.erase(reinterpret_cast<uintptr_t>(record));
}

int veks_registry_has(veks_handle_registry* reg, const void* record, int16_t kind) {
  if (reg == nullptr || record == nullptr) return 0;
  std::lock_guard<std::mutex> lock(reg->mutex);
  auto it = reg->handles.find(reinterpret_cast<uintptr_t>(record));
  return it != reg->handles.end() && it->second == kind ? 1 : 0;
}

int64_t veks_registry_list(veks_handle_registry* reg, int16_t kind, void** out, int64_t max) {
  if (reg == nullptr) return 0;
  std::lock_guard<std::mutex> lock(reg->mutex);
  int64_t n = 0;
  for (const auto& [value, k] : reg->handles) {
    if (k != kind) continue;
    if (out != nullptr && n < max) out[n] = reinterpret_cast<void*>(value);
    ++n;
  }
  return n;
}

void veks_registry_bind(veks_handle_registry* reg) { t_current = reg; }

veks_handle_registry* veks_registry_current(void) { return t_current; }

veks_handle_registry* veks_registry_for_link(RpcHandle* rpc) {
  if (rpc == nullptr) return nullptr;
  auto* info = static_cast<net_connection_info_t*>(RPCGetPrivatePtr(rpc));
  veks_handle_registry* reg = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_links_mutex);
    auto it = g_links.find(rpc);
    if (it != g_links.end()) reg = it->second;
  }
  if (reg == nullptr) {
    reg = veks_registry_create();
    if (reg == nullptr) return nullptr;
    reg->rpc = rpc;
    try {
      std::lock_guard<std::mutex> lock(g_links_mutex);
      g_links[rpc] = reg;
    } catch (...) {
      delete reg;
      return nullptr;
    }
    // The registry lives until the link ends; the callback frees what the
    // client left and then the registry.
    RPCRegisterTerminateFn(rpc, veks_link_cleanup, reg);
  }
  if (info != nullptr) info->handles = reg;
  t_current = reg;
  return reg;
}

}  // extern "C"
