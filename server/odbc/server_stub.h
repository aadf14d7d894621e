// The generic server stub: turns a procedure's argument vector (filled by
// RPCRun) into one call of the procedure's handler and the handler's outputs
// back into the vector, from which the RPC library writes the reply.
//
// serve<Row>(args, handler) for a row of procedure_list.h (or a test-only
// row) does, for every call:
//  1. zero-fills every out buffer the library allocated (nothing stale goes
//     back to the peer) and checks what a handler without lengths relies on:
//     a *_fix block in must hold at least its N bytes, an out one must offer
//     them; a text must hold a NUL; a real in must parse; an out real single
//     needs a 40-byte slot;
//  2. calls the handler with the parameters of procedure_kinds.h, inside a
//     try block (an exception answers -1; std::bad_alloc, there or while the
//     stub builds a temporary array, is reported through the failure hook);
//  3. stores the out scalars, the lengths the handler set (clamped to the
//     capacity; *_fix outs go back at full capacity), the reals as number
//     texts, and the result.
// A refused call, a missing handler (null: see handlers.h) and the spare rows
// answer -1 with every out argument zero-filled at the capacity asked for.
//
// Runs on the connection's worker thread inside RPCRun; keeps nothing between
// calls. The buffers in the vector belong to the RPC library.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "number_text.h"
#include "procedure_kinds.h"
#include "sqlstate.h"

namespace kyproc::server {

template <class K>
struct Slot;

// Answers a procedure whose handler is missing; its result is sent.
using MissingFn = int32_t (*)(const char* procedure, ArgumentDescriptor* args);
// Told why a call answers -1 without its handler's result (a state and its text).
using FailFn = void (*)(const char* procedure, ArgumentDescriptor* args, const char* sqlstate, const char* text);

// Zero-fills an out block (unless its handler fills what it sends back) and
// gives its capacity (0 when the library gave no buffer).
inline int32_t out_capacity(ArgumentDescriptor& a, bool filled = false) {
  if (a.value.ptr == nullptr || a.size <= 0) return 0;
  if (!filled) std::memset(a.value.ptr, 0, static_cast<std::size_t>(a.size));
  return a.size;
}

// Zero-fills the element buffers of an out row array.
inline void zero_wv(ArgumentDescriptor& a) {
  auto* e = static_cast<wvarray*>(a.value.ptr);
  for (int32_t i = 0; e != nullptr && i < a.size; ++i)
    if (e[i].iovec_base != nullptr && e[i].iovec_len > 0)
      std::memset(e[i].iovec_base, 0, static_cast<std::size_t>(e[i].iovec_len));
}

template <>
struct Slot<Rpc> {
  RpcHandle* h;
  explicit Slot(ArgumentDescriptor& a) : h(static_cast<RpcHandle*>(a.value.ptr)) {}
  bool ok() const { return true; }
  std::tuple<RpcHandle*> params() { return {h}; }
  void store(ArgumentDescriptor&) {}
};

template <class T, uint32_t Kind>
struct Slot<InScalar<T, Kind>> {
  T v;
  explicit Slot(ArgumentDescriptor& a) {
    if constexpr (Kind == RPC_ARG_INT16)
      v = a.value.i16;
    else if constexpr (Kind == RPC_ARG_INT32)
      v = a.value.i32;
    else if constexpr (Kind == RPC_ARG_PTR)
      v = a.value.ptr;
    else
      v = static_cast<T>(a.value.i64);
  }
  bool ok() const { return true; }
  std::tuple<T> params() { return {v}; }
  void store(ArgumentDescriptor&) {}
};

template <class T, uint32_t Kind>
struct Slot<OutScalar<T, Kind>> {
  T local{};
  explicit Slot(ArgumentDescriptor&) {}
  bool ok() const { return true; }
  std::tuple<T*> params() { return {&local}; }
  void store(ArgumentDescriptor& a) {
    a.value.u64 = 0;
    if constexpr (Kind == RPC_ARG_INT16)
      a.value.i16 = local;
    else if constexpr (Kind == RPC_ARG_INT32)
      a.value.i32 = local;
    else if constexpr (Kind == RPC_ARG_PTR)
      a.value.ptr = local;
    else
      a.value.i64 = static_cast<int64_t>(local);
  }
};

template <class E, uint32_t Kind>
struct Slot<InBlock<E, Kind>> {
  int32_t len;
  E* data;
  explicit Slot(ArgumentDescriptor& a)
      : len(a.value.ptr != nullptr && a.size > 0 ? a.size : 0),
        data(len > 0 ? static_cast<E*>(a.value.ptr) : nullptr) {}
  bool ok() const { return true; }
  std::tuple<int32_t, E*> params() { return {len, data}; }
  void store(ArgumentDescriptor&) {}
};

template <class E, uint32_t Kind>
struct Slot<OutBlock<E, Kind>> {
  int32_t cap;
  int32_t len;
  E* buf;
  explicit Slot(ArgumentDescriptor& a)
      : cap(out_capacity(a, (Kind & RPC_ARG_FILLED) != 0)),
        len(cap),
        buf(cap > 0 ? static_cast<E*>(a.value.ptr) : nullptr) {}
  bool ok() const { return true; }
  std::tuple<int32_t*, E*> params() { return {&len, buf}; }
  void store(ArgumentDescriptor& a) { a.size = std::clamp(len, 0, cap); }
};

template <>
struct Slot<InText> {
  char* text;
  explicit Slot(ArgumentDescriptor& a)
      : text(a.value.ptr != nullptr && a.size > 0 &&
                     std::memchr(a.value.ptr, '\0', static_cast<std::size_t>(a.size)) != nullptr
                 ? static_cast<char*>(a.value.ptr)
                 : nullptr) {}
  bool ok() const { return text != nullptr; }
  std::tuple<char*> params() { return {text}; }
  void store(ArgumentDescriptor&) {}
};

template <class E, uint32_t Kind, int32_t N>
struct Slot<InFixed<E, Kind, N>> {
  E* data;
  explicit Slot(ArgumentDescriptor& a)
      : data(a.value.ptr != nullptr && a.size >= N ? static_cast<E*>(a.value.ptr) : nullptr) {}
  bool ok() const { return data != nullptr; }
  std::tuple<E*> params() { return {data}; }
  void store(ArgumentDescriptor&) {}
};

template <class E, uint32_t Kind, int32_t N>
struct Slot<OutFixed<E, Kind, N>> {
  E* buf;
  explicit Slot(ArgumentDescriptor& a) : buf(out_capacity(a) >= N ? static_cast<E*>(a.value.ptr) : nullptr) {}
  bool ok() const { return buf != nullptr; }
  std::tuple<E*> params() { return {buf}; }
  void store(ArgumentDescriptor&) {}  // the whole capacity goes back
};

template <class T>
struct Slot<InReal<T>> {
  T v{};
  bool good;
  explicit Slot(ArgumentDescriptor& a) {
    double d = 0;
    good = a.value.ptr != nullptr && a.size > 0 &&
           parse_number_text(static_cast<const char*>(a.value.ptr), static_cast<std::size_t>(a.size), &d);
    v = static_cast<T>(d);
  }
  bool ok() const { return good; }
  std::tuple<T> params() { return {v}; }
  void store(ArgumentDescriptor&) {}
};

template <class T>
struct Slot<InRealArray<T>> {
  std::vector<T> values;
  bool good = true;
  explicit Slot(ArgumentDescriptor& a) {
    if (a.value.ptr == nullptr || a.size < kRealSlot) return;
    std::size_t count = static_cast<std::size_t>(a.size) / kNumberTextSlot;
    values.resize(count);
    const char* text = static_cast<const char*>(a.value.ptr);
    for (std::size_t i = 0; i < count && good; ++i) {
      double d = 0;
      good = parse_number_text(text + i * kNumberTextSlot, kNumberTextSlot, &d);
      values[i] = static_cast<T>(d);
    }
  }
  bool ok() const { return good; }
  std::tuple<int32_t, T*> params() {
    return {static_cast<int32_t>(values.size()), values.empty() ? nullptr : values.data()};
  }
  void store(ArgumentDescriptor&) {}
};

template <class T>
struct Slot<OutReal<T>> {
  T v{};
  bool good;
  explicit Slot(ArgumentDescriptor& a) : good(out_capacity(a) >= kRealSlot) {}
  bool ok() const { return good; }
  std::tuple<T*> params() { return {&v}; }
  void store(ArgumentDescriptor& a) {
    format_number_text(static_cast<double>(v), static_cast<char*>(a.value.ptr));
    a.size = kRealSlot;
  }
};

template <class T>
struct Slot<OutRealArray<T>> {
  int32_t max;
  int32_t count;
  std::vector<T> values;
  explicit Slot(ArgumentDescriptor& a) : max(out_capacity(a) / kRealSlot), count(max) {
    values.assign(static_cast<std::size_t>(max), T{});
  }
  bool ok() const { return true; }
  std::tuple<int32_t*, T*> params() { return {&count, values.empty() ? nullptr : values.data()}; }
  void store(ArgumentDescriptor& a) {
    int32_t n = std::clamp(count, 0, max);
    char* text = static_cast<char*>(a.value.ptr);
    for (int32_t i = 0; i < n; ++i)
      format_number_text(static_cast<double>(values[static_cast<std::size_t>(i)]),
                         text + static_cast<std::size_t>(i) * kNumberTextSlot);
    if (max > 0) a.size = n * kRealSlot;
  }
};

template <uint32_t Dir>
struct Slot<Wv<Dir>> {
  int32_t count;
  wvarray* elems;
  explicit Slot(ArgumentDescriptor& a)
      : count(a.value.ptr != nullptr && a.size > 0 ? a.size : 0),
        elems(count > 0 ? static_cast<wvarray*>(a.value.ptr) : nullptr) {
    if constexpr (Dir == kOut) zero_wv(a);
  }
  bool ok() const { return true; }
  std::tuple<int32_t, wvarray*> params() { return {count, elems}; }
  void store(ArgumentDescriptor&) {}
};

// Zero-fills the out buffers and out scalars of a call that is answered
// without its handler (value slots of out scalars keep the previous call's
// values otherwise).
template <class... K>
void zero_outs(ArgumentDescriptor* args) {
  std::size_t i = 0;
  auto one = [&](uint32_t flags) {
    if (flags & RPC_ARG_OUT) {
      if (!(flags & RPC_ARG_BUFFER_KINDS))
        args[i].value.u64 = 0;
      else if (flags & RPC_ARG_WVARRAY)
        zero_wv(args[i]);
      else
        (void)out_capacity(args[i]);
    }
    ++i;
  };
  (one(K::flags), ...);
}

template <class RowT>
struct Serve;

template <FixedString Name, Role R, class Res, class... K>
struct Serve<Row<Name, R, Res, K...>> {
  using RowT = Row<Name, R, Res, K...>;
  using Result = typename RowT::ResultType;

  static void set_result(ArgumentDescriptor* args, Result r) {
    args[sizeof...(K)].value.i64 = static_cast<int64_t>(r);  // sign-extended
  }

  static void answer_error(ArgumentDescriptor* args) {
    zero_outs<K...>(args);
    set_result(args, -1);
  }

  static void out_of_memory(ArgumentDescriptor* args, FailFn fail) {
    answer_error(args);
    if (fail) fail(RowT::name, args, sqlstate::kHY001.state, sqlstate::kHY001.text);
  }

  template <std::size_t... I>
  static void run(ArgumentDescriptor* args, HandlerFn<RowT>* handler, FailFn fail, std::index_sequence<I...>) {
    std::tuple<Slot<K>...> slots{Slot<K>(args[I])...};
    bool ok = (std::get<I>(slots).ok() && ...);
    if (!ok) {
      answer_error(args);
      return;
    }
    Result r = -1;
    try {
      r = std::apply(handler, std::tuple_cat(std::get<I>(slots).params()...));
    } catch (const std::bad_alloc&) {
      out_of_memory(args, fail);
      return;
    } catch (...) {
      answer_error(args);
      return;
    }
    (std::get<I>(slots).store(args[I]), ...);
    set_result(args, r);
  }

  static void call(ArgumentDescriptor* args, HandlerFn<RowT>* handler, MissingFn missing, FailFn fail) {
    if (handler == nullptr) {
      zero_outs<K...>(args);
      set_result(args, static_cast<Result>(missing ? missing(RowT::name, args) : -1));
      return;
    }
    try {
      run(args, handler, fail, std::index_sequence_for<K...>{});
    } catch (const std::bad_alloc&) {  // no memory for a temporary array
      out_of_memory(args, fail);
    } catch (...) {
      answer_error(args);
    }
  }
};

// The stub body of a row: hands the vector to handler. A null handler (not
// linked in) is answered by missing(procedure name, vector), or -1; a call
// that runs out of memory is told to fail.
template <class RowT>
void serve(ArgumentDescriptor* args, HandlerFn<RowT>* handler, MissingFn missing = nullptr, FailFn fail = nullptr) {
  Serve<RowT>::call(args, handler, missing, fail);
}

}  // namespace kyproc::server

// The argument descriptors of a row, as a table entry holds them.
#define KY_ROW_ARG(R, i)            \
  {                                 \
    R::flags(i), nullptr, 0, {}, {} \
  }
#define KY_ROW_ARGS(R)                                                                                                \
  {                                                                                                                   \
    KY_ROW_ARG(R, 0), KY_ROW_ARG(R, 1), KY_ROW_ARG(R, 2), KY_ROW_ARG(R, 3), KY_ROW_ARG(R, 4), KY_ROW_ARG(R, 5),       \
        KY_ROW_ARG(R, 6), KY_ROW_ARG(R, 7), KY_ROW_ARG(R, 8), KY_ROW_ARG(R, 9), KY_ROW_ARG(R, 10), KY_ROW_ARG(R, 11), \
        KY_ROW_ARG(R, 12), KY_ROW_ARG(R, 13), KY_ROW_ARG(R, 14), KY_ROW_ARG(R, 15), KY_ROW_ARG(R, 16),                \
        KY_ROW_ARG(R, 17), KY_ROW_ARG(R, 18), KY_ROW_ARG(R, 19)                                                       \
  }
