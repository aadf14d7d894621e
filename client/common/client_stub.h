/* The generic client stub: turns one ordinary call into one RPCExec.
 *
 * ClientStub<Row>::call(handle, params...) takes the RPC handle and then the
 * client parameters of the row's kinds (procedure_kinds.h), calls the procedure
 * by name and returns its result, or -1 when RPCExec fails (the RPC library
 * then has called the connection's error callback; the stub posts nothing).
 *
 * Rules every kind follows:
 * - Out values go through locals of the stub; the caller's variables and
 *   buffers are written only after a successful call, and never beyond the
 *   capacity the caller gave, whatever the server sends.
 * - An out block reports the number of bytes copied through its length
 *   pointer; a received block shorter than its buffer is followed by a NUL,
 *   so received texts are terminated at their received length.
 * - An out real array converts at most the caller's element count.
 * - A null out pointer means "not wanted".
 * Reentrant; the RPC library serialises calls on one handle. */
#ifndef KYVEK_CLIENT_COMMON_CLIENT_STUB_H
#define KYVEK_CLIENT_COMMON_CLIENT_STUB_H

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "number_text.h"
#include "procedure_kinds.h"

namespace kyproc::client {

inline ArgumentDescriptor make_record(int32_t size, const void* data) {
  ArgumentDescriptor r{};
  r.size = size;
  r.value.ptr = const_cast<void*>(data);
  return r;
}

/* After the call: the bytes the library received for a record whose buffer
 * was ours (or, for capacity 0, one it allocated and hands to us). Copies at
 * most cap bytes into dest and frees a library buffer. Returns bytes copied. */
inline int32_t take_block(ArgumentDescriptor& rec, const void* ours, void* dest, int32_t cap) {
  int32_t received = rec.size > 0 ? rec.size : 0;
  int32_t n = std::min(received, std::max(cap, 0));
  if (rec.value.ptr != nullptr && rec.value.ptr != ours) {
    if (dest != nullptr && n > 0) std::memcpy(dest, rec.value.ptr, static_cast<std::size_t>(n));
    std::free(rec.value.ptr);
    rec.value.ptr = nullptr;
  } else if (rec.value.ptr == nullptr) {
    n = 0;
  }
  return n;
}

/* Frees a buffer the library allocated in place of ours (failed calls too). */
inline void drop_library_block(ArgumentDescriptor& rec, const void* ours) {
  if (rec.value.ptr != nullptr && rec.value.ptr != ours) {
    std::free(rec.value.ptr);
    rec.value.ptr = nullptr;
  }
}

template <class K>
struct Slot;

template <>
struct Slot<Rpc> {
  Slot() = default;
  std::tuple<> exec_args() { return {}; }
  void finish() {}
};

template <class T, uint32_t Kind>
struct Slot<InScalar<T, Kind>> {
  T v;
  explicit Slot(T value) : v(value) {}
  auto exec_args() {
    if constexpr (Kind == RPC_ARG_INT16 || Kind == RPC_ARG_INT32)
      return std::tuple<int>(static_cast<int>(v));
    else if constexpr (Kind == RPC_ARG_PTR)
      return std::tuple<void*>(v);
    else
      return std::tuple<int64_t>(static_cast<int64_t>(v));
  }
  void finish() {}
};

template <class T, uint32_t Kind>
struct Slot<OutScalar<T, Kind>> {
  T* dest;
  T local{};
  explicit Slot(T* d) : dest(d) {}
  auto exec_args() {
    if constexpr (Kind == RPC_ARG_SQLLEN || Kind == RPC_ARG_SQLULEN)
      return std::tuple<int64_t*>(reinterpret_cast<int64_t*>(&local));
    else
      return std::tuple<T*>(&local);
  }
  void finish() {
    if (dest != nullptr) *dest = local;
  }
};

template <class E, uint32_t Kind>
struct Slot<InBlock<E, Kind>> {
  ArgumentDescriptor rec;
  template <class P>
  Slot(int32_t len, P data)
      : rec(make_record(
            data == nullptr || (len < 0 && len != RPC_LEN_NTS) || (len == RPC_LEN_NTS && Kind != RPC_ARG_DESC) ? 0
                                                                                                               : len,
            data)) {}
  std::tuple<ArgumentDescriptor*> exec_args() { return {&rec}; }
  void finish() {}
};

template <class E, uint32_t Kind>
struct Slot<OutBlock<E, Kind>> {
  int32_t* len;
  void* buf;
  int32_t cap;
  ArgumentDescriptor rec;
  template <class P>
  Slot(int32_t* l, P b)
      : len(l),
        buf(b),
        cap(l != nullptr && b != nullptr && *l > 0 ? *l : 0),
        rec(make_record(cap, cap > 0 ? b : nullptr)) {}
  Slot(const Slot&) = default;
  ~Slot() { drop_library_block(rec, buf); }
  std::tuple<ArgumentDescriptor*> exec_args() { return {&rec}; }
  void finish() {
    int32_t n = take_block(rec, buf, buf, cap);
    if constexpr ((Kind & RPC_ARG_KIND_MASK) == RPC_ARG_DESC) {
      if (n < cap) static_cast<char*>(buf)[n] = '\0';
    }
    if (len != nullptr) *len = n;
  }
};

template <>
struct Slot<InText> {
  ArgumentDescriptor rec;
  explicit Slot(const char* text) : rec(make_record(text ? RPC_LEN_NTS : 0, text)) {}
  std::tuple<ArgumentDescriptor*> exec_args() { return {&rec}; }
  void finish() {}
};

template <class E, uint32_t Kind, int32_t N>
struct Slot<InFixed<E, Kind, N>> {
  ArgumentDescriptor rec;
  explicit Slot(const E* data) : rec(make_record(data ? N : 0, data)) {}
  std::tuple<ArgumentDescriptor*> exec_args() { return {&rec}; }
  void finish() {}
};

template <class E, uint32_t Kind, int32_t N>
struct Slot<OutFixed<E, Kind, N>> {
  E* dest;
  std::array<char, N> local{};
  ArgumentDescriptor rec{};
  explicit Slot(E* d) : dest(d) {}
  Slot(const Slot& o) : dest(o.dest), local(o.local) {}
  ~Slot() { drop_library_block(rec, local.data()); }
  std::tuple<ArgumentDescriptor*> exec_args() {
    rec = make_record(N, local.data());
    return {&rec};
  }
  void finish() {
    int32_t n = take_block(rec, local.data(), local.data(), N);
    if (dest != nullptr) std::memcpy(static_cast<void*>(dest), local.data(), static_cast<std::size_t>(n));
  }
};

template <class T>
struct Slot<InReal<T>> {
  std::array<char, kNumberTextSlot> text{};
  ArgumentDescriptor rec{};
  explicit Slot(T v) { format_number_text(static_cast<double>(v), text.data()); }
  std::tuple<ArgumentDescriptor*> exec_args() {
    rec = make_record(kRealSlot, text.data());
    return {&rec};
  }
  void finish() {}
};

template <class T>
struct Slot<InRealArray<T>> {
  std::vector<char> text;
  ArgumentDescriptor rec{};
  Slot(int32_t count, const T* values) {
    if (values == nullptr || count <= 0) return;
    text.assign(static_cast<std::size_t>(count) * kNumberTextSlot, '\0');
    for (int32_t i = 0; i < count; ++i)
      format_number_text(static_cast<double>(values[i]), text.data() + static_cast<std::size_t>(i) * kNumberTextSlot);
  }
  std::tuple<ArgumentDescriptor*> exec_args() {
    rec = make_record(static_cast<int32_t>(text.size()), text.empty() ? nullptr : text.data());
    return {&rec};
  }
  void finish() {}
};

template <class T>
struct Slot<OutReal<T>> {
  T* dest;
  std::array<char, kNumberTextSlot> text{};
  ArgumentDescriptor rec{};
  explicit Slot(T* d) : dest(d) {}
  Slot(const Slot& o) : dest(o.dest), text(o.text) {}
  ~Slot() { drop_library_block(rec, text.data()); }
  std::tuple<ArgumentDescriptor*> exec_args() {
    rec = make_record(kRealSlot, text.data());
    return {&rec};
  }
  void finish() {
    int32_t n = take_block(rec, text.data(), text.data(), kRealSlot);
    double v = 0;
    parse_number_text(text.data(), static_cast<std::size_t>(n), &v);
    if (dest != nullptr) *dest = static_cast<T>(v);
  }
};

template <class T>
struct Slot<OutRealArray<T>> {
  int32_t* count;
  T* dest;
  int32_t n;
  std::vector<char> text;
  ArgumentDescriptor rec{};
  Slot(int32_t* c, T* d) : count(c), dest(d), n(c != nullptr && d != nullptr && *c > 0 ? *c : 0) {
    // Capacity in bytes must fit the 32-bit length word.
    n = std::min<int32_t>(n, INT32_MAX / kRealSlot);
    text.assign(static_cast<std::size_t>(n) * kNumberTextSlot, '\0');
  }
  Slot(const Slot&) = default;
  ~Slot() { drop_library_block(rec, text.data()); }
  std::tuple<ArgumentDescriptor*> exec_args() {
    rec = make_record(n * kRealSlot, n > 0 ? text.data() : nullptr);
    return {&rec};
  }
  void finish() {
    int32_t bytes = take_block(rec, text.data(), text.data(), n * kRealSlot);
    int32_t got = bytes / kRealSlot;
    for (int32_t i = 0; i < got; ++i) {
      double v = 0;
      parse_number_text(text.data() + static_cast<std::size_t>(i) * kNumberTextSlot, kNumberTextSlot, &v);
      dest[i] = static_cast<T>(v);
    }
    if (count != nullptr) *count = got;
  }
};

template <uint32_t Dir>
struct Slot<Wv<Dir>> {
  ArgumentDescriptor rec;
  Slot(int32_t count, wvarray* elems) : rec(make_record(elems && count > 0 ? count : 0, elems)) {}
  std::tuple<ArgumentDescriptor*> exec_args() { return {&rec}; }
  void finish() {}
};

template <class K, std::size_t Off, class Tuple, std::size_t... J>
Slot<K> make_slot(Tuple& all, std::index_sequence<J...>) {
  return Slot<K>(std::get<Off + J>(all)...);
}

template <class RowT, class Params = typename RowT::ClientParams>
struct Stub;

template <FixedString Name, Role R, class Res, class... K, class... Ps>
struct Stub<Row<Name, R, Res, K...>, TypeList<Ps...>> {
  using RowT = Row<Name, R, Res, K...>;
  using Result = typename RowT::ResultType;

  static Result call(RpcHandle* h, Ps... ps) {
    std::tuple<Ps...> all(ps...);
    return run(h, all, std::index_sequence_for<K...>{});
  }

 private:
  static constexpr std::array<std::size_t, sizeof...(K) + 1> offsets() {
    std::array<std::size_t, sizeof...(K) + 1> o{};
    std::size_t sizes[] = {K::Client::size..., 0};
    for (std::size_t i = 0; i < sizeof...(K); ++i) o[i + 1] = o[i] + sizes[i];
    return o;
  }

  template <std::size_t... I>
  static Result run(RpcHandle* h, std::tuple<Ps...>& all, std::index_sequence<I...>) {
    constexpr auto off = offsets();
    std::tuple<Slot<K>...> slots{make_slot<K, off[I]>(all, std::make_index_sequence<K::Client::size>{})...};
    Result result = -1;
    auto args = std::tuple_cat(std::get<I>(slots).exec_args()...);
    int rc = std::apply([&](auto... a) { return RPCExec(h, RowT::name, a..., &result); }, args);
    if (rc != 0) return -1;
    (std::get<I>(slots).finish(), ...);
    return result;
  }
};

/* A call sent ahead of its reply (RPCQueue): constructed with the stub's
 * parameters, it writes the call; take() reads its reply (RPCCollect) and
 * gives the result as the stub would, drop() reads the reply and writes
 * nothing. The out parameters stay untouched until take(). A call neither
 * taken nor dropped is dropped when the object goes. Neither copied nor moved:
 * the library holds the addresses of its slots until the reply is read. */
template <class RowT, class Params = typename RowT::ClientParams>
class Queued;

template <FixedString Name, Role R, class Res, class... K, class... Ps>
class Queued<Row<Name, R, Res, K...>, TypeList<Ps...>> {
 public:
  using RowT = Row<Name, R, Res, K...>;
  using Result = typename RowT::ResultType;

  Queued(RpcHandle* h, Ps... ps) : h_(h), slots_(build(std::tuple<Ps...>(ps...), std::index_sequence_for<K...>{})) {
    auto args = exec_args(std::index_sequence_for<K...>{});
    queued_ = std::apply([&](auto... a) { return RPCQueue(h_, RowT::name, a..., &result_); }, args) == 0;
  }
  // A posted call (RPCPost): it leaves with the next call on the handle and
  // nobody reads its reply; the object may go at once. posted() tells
  // whether it was written.
  struct Post {};
  Queued(Post, RpcHandle* h, Ps... ps)
      : h_(h), slots_(build(std::tuple<Ps...>(ps...), std::index_sequence_for<K...>{})) {
    auto args = exec_args(std::index_sequence_for<K...>{});
    posted_ = std::apply([&](auto... a) { return RPCPost(h_, RowT::name, a..., &result_); }, args) == 0;
  }
  bool posted() const { return posted_; }
  Queued(const Queued&) = delete;
  Queued& operator=(const Queued&) = delete;
  ~Queued() { drop(); }

  // False when the call could not be sent (the library has reported why).
  bool queued() const { return queued_; }

  Result take() {
    if (!queued_) return -1;
    queued_ = false;
    if (RPCCollect(h_, 0) != 0) return -1;
    finish(std::index_sequence_for<K...>{});
    return result_;
  }

  // False when reading the reply failed.
  bool drop() {
    if (!queued_) return true;
    queued_ = false;
    return RPCCollect(h_, 1) == 0;
  }

 private:
  static constexpr std::array<std::size_t, sizeof...(K) + 1> offsets() {
    std::array<std::size_t, sizeof...(K) + 1> o{};
    std::size_t sizes[] = {K::Client::size..., 0};
    for (std::size_t i = 0; i < sizeof...(K); ++i) o[i + 1] = o[i] + sizes[i];
    return o;
  }
  template <std::size_t... I>
  static std::tuple<Slot<K>...> build(std::tuple<Ps...> all, std::index_sequence<I...>) {
    constexpr auto off = offsets();
    return std::tuple<Slot<K>...>{make_slot<K, off[I]>(all, std::make_index_sequence<K::Client::size>{})...};
  }
  template <std::size_t... I>
  auto exec_args(std::index_sequence<I...>) {
    return std::tuple_cat(std::get<I>(slots_).exec_args()...);
  }
  template <std::size_t... I>
  void finish(std::index_sequence<I...>) {
    (std::get<I>(slots_).finish(), ...);
  }

  RpcHandle* h_;
  std::tuple<Slot<K>...> slots_;
  Result result_ = -1;
  bool queued_ = false;
  bool posted_ = false;
};

/* Posts a call (RPCPost) with the stub's parameters; false when it could not
 * be written. */
template <class RowT, class... A>
bool post(RpcHandle* h, A... a) {
  return Queued<RowT>(typename Queued<RowT>::Post{}, h, a...).posted();
}

}  // namespace kyproc::client

#endif
