// The RpcHandle record: one end of one connection, for both roles. Everything a
// handle holds is owned by it and freed by RPCFreeHandle. A handle is used by one
// thread at a time, except RPCExec, which serialises its callers with call_lock
// (held by RPCQueue until the queued calls' replies are collected).
#ifndef KYRPC_HANDLE_H
#define KYRPC_HANDLE_H

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kyrpc.h"
#include "transport.h"
#include "wire.h"

struct hash_table;

namespace kyrpc {

enum State : int32_t { kAllocated = 0, kInitialised = 1, kOptionsSet = 2, kConnecting = 3, kConnected = 4 };

// One procedure of the handle's list: the descriptor and the storage of its texts.
struct Procedure {
  FunctionDescriptor fd{};
  std::string name;
  std::vector<std::string> arg_names;  // client: names received from the server
};

// One argument as the caller of RPCExec or RPCQueue handed it over.
struct CallerArg {
  uint32_t flags = 0;
  uint32_t kind = 0;
  const char* name = nullptr;
  RpcValue value{};                      // in scalars by value
  void* address = nullptr;               // out (and in/out) scalars
  ArgumentDescriptor* record = nullptr;  // buffers and row arrays
  int32_t capacity = 0;                  // out buffers: capacity at call time
  bool library_block = false;            // this call allocated record->value.ptr
};

// A call sent ahead whose reply is still to be read (RPCQueue, RPCCollect).
struct QueuedCall {
  const FunctionDescriptor* fd = nullptr;
  std::vector<CallerArg> args;
  bool posted = false;  // RPCPost: nobody collects it, and it holds no lock
};

struct Selection {
  size_t index = 0;
  char message[1024] = {};
};

// Name lookup of received procedures (the 256-bucket hash table).
class NameTable {
 public:
  NameTable();
  ~NameTable();
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;
  // false when the name is already there.
  bool add(Procedure* p);
  Procedure* find(const char* name) const;
  // The same, remembering the procedures found last by the address of the
  // name given (a caller's constant text).
  Procedure* find_called(const char* name);

 private:
  void* table_;  // the support library's hash table (hash_table*)
  struct Recent {
    const char* text = nullptr;
    Procedure* procedure = nullptr;
  };
  static constexpr size_t kRecent = 64;
  Recent recent_[kRecent];
};

}  // namespace kyrpc

struct RpcHandle {
  int32_t mode = -1;
  int32_t error_code = 0;
  std::optional<std::string> error_text;
  int32_t state = kyrpc::kAllocated;
  int32_t transport_index = 0;
  std::optional<std::string> transport_opts[7];
  std::optional<std::string> lowl_opts[6];
  int32_t transport_count = 0;
  const char* transport_names[10][2] = {};

  std::unique_ptr<kyrpc::Selection> selection;
  std::unique_ptr<kyrpc::Connection> connection;
  long wait_limit_ms = 0;  // RPCSetWaitLimit; handed to each connection made
  std::optional<std::chrono::steady_clock::time_point> wait_end;  // RPCSetWaitEnd; the same
  bool timed_out = false;  // the last connect failed on the wait limit

  // Outgoing message buffer.
  size_t out_capacity = kyrpc::kFrameCapacity;
  size_t out_used = 0;
  uint8_t out_buf[kyrpc::kFrameCapacity] = {};
  // Incoming message buffer: bytes [in_cursor, in_available) are unread.
  size_t in_available = 0;
  size_t in_cursor = 0;
  uint8_t in_buf[kyrpc::kFrameCapacity] = {};

  bool reply_sent = false;
  // Procedures: server, the exported table (list order = reverse table order);
  // client, the procedures received from the server.
  std::vector<std::unique_ptr<kyrpc::Procedure>> procedures;  // in list order
  std::vector<FunctionDescriptor*> ordinals;                  // server: by ordinal
  std::unique_ptr<kyrpc::NameTable> names;                    // client

  void (*error_callback)(int, void*) = nullptr;
  void* error_context = nullptr;
  void (*terminate_fn)(void*) = nullptr;
  void* terminate_arg = nullptr;
  std::recursive_mutex call_lock;        // held for a whole RPCExec, and once per queued call
  std::deque<kyrpc::QueuedCall> queued;  // client: calls sent whose replies are unread

  int32_t version = 0, minor_version = 0;
  const char* program_id = nullptr;
  int32_t inherited_socket = 0;

  std::vector<std::pair<int, std::string>> peer_params;  // most recent first
  uint32_t negotiated = 0;
  // Server: the tracing the client asked for, held back until the server permits
  // it (RPCPermitTracing, once the client has logged on).
  uint32_t peer_tracing = 0;
  int32_t peer_pointer_width = 8, peer_sqllen_width = 8;
  std::vector<void*> pointer_table;  // server: index -> pointer, 0 = null
  std::deque<uint64_t> client_keys;  // client: stable entries, their addresses are handles
  uint16_t byte_order_marker = kyrpc::kByteOrderMarker;
  char tracing[50] = {};

  // Compression areas, made on first use.
  std::vector<uint8_t> in_staging, out_staging, lzo_work;
  // Client: where a received row array waits whole before it reaches the
  // caller. Kept between calls (up to kKeptPendingMax bytes), so that a large
  // rowset is not allocated, zero-filled and copied while it grows on every
  // fetch; never zero-filled, only bytes received are copied out of it.
  std::unique_ptr<uint8_t[]> wv_pending;
  size_t wv_pending_capacity = 0;

  FunctionDescriptor* last_procedure = nullptr;
  void* private_ptr = nullptr;
  int32_t private_flags = 0;

  // Bytes a peer made this call allocate so far, and the bound (kAllocCap; the fuzz
  // targets lower it to stay fast).
  uint64_t call_allocated = 0;
  uint64_t alloc_cap = kyrpc::kAllocCap;
  bool traced_any = false;  // this handle holds a reference on the shared trace file

  bool is_server() const { return mode == RPC_MODE_SERVER; }
  bool flag(uint32_t bit) const { return (negotiated & bit) != 0; }
};

#endif
