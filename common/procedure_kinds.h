/* Argument kinds of the remote procedures, shared by both ends.
 *
 * Every row of procedure_list.h names its arguments with the kinds below. A
 * kind fixes the argument's flags word (kind bit plus 0x400 in or 0x800 out),
 * the parameters the server's handler receives for it, and the parameters the
 * client stub `remote_<procedure>` takes for it. The server stubs
 * (server/odbc/server_stub.h) and the client stubs (remote_stubs.h) give each
 * kind its behaviour; nothing else describes a procedure's arguments.
 *
 *  kind               handler receives              client stub takes
 *  rpc                RpcHandle*                    (the stub's first parameter)
 *  i16 / i32          int16_t / int32_t             int16_t / int32_t
 *  len / ulen         SQLLEN / SQLULEN              SQLLEN / SQLULEN
 *  ptr                void* (server handle)         void*
 *  out_i16 ...        int16_t* ... (a stub local,   int16_t* ... (null: not wanted)
 *  out_ptr            zero on entry) / void**       void**
 *  desc               int32_t len, char* data       int32_t len, const void* data
 *  a16 a32 a64        int32_t bytes, int16_t*       int32_t bytes, const int16_t* ...
 *  alen aulen         ... SQLLEN* / SQLULEN*        ... const SQLLEN* / SQLULEN*
 *  out_desc           int32_t* len, char* buf       int32_t* len, void* buf
 *  out_desc_filled    as out_desc; the handler writes every byte it sends
 *  out_a16 ...        int32_t* bytes, int16_t* ...  int32_t* bytes, int16_t* ...
 *  text               char* (NUL inside)            const char* (sent with its NUL)
 *  a16_fix<N> ...     int16_t* (N bytes at least)   const int16_t* (N bytes sent)
 *  out_*_fix<N>       buffer only (N bytes at least, buffer only (N bytes)
 *                     whole capacity sent back)
 *  real_f / real_d    float / double                float / double
 *  real_fa / real_da  int32_t count, float* or double* int32_t count, const float* ...
 *  out_real_f / _d    float* / double*              float* / double*
 *  out_real_fa / _da  int32_t* count, float* ...  int32_t* count, float* ...
 *  wv / out_wv        int32_t count, wvarray*       int32_t count, wvarray*
 *  r16 / r32 (result) returns int16_t / int32_t     returns int16_t / int32_t
 *
 * Lengths of blocks and arrays are in bytes. Reals travel as 40-byte number
 * texts (number_text.h). The *_fix kinds are the "data only" arguments: their
 * handler gets no length, so the server stub refuses a call whose block is
 * shorter than N bytes (or, for text, holds no NUL) before the handler runs. */
#ifndef KYVEK_CLIENT_COMMON_PROCEDURE_KINDS_H
#define KYVEK_CLIENT_COMMON_PROCEDURE_KINDS_H

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kyrpc.h"

namespace kyproc {

template <class... T>
struct TypeList {
  static constexpr std::size_t size = sizeof...(T);
};

template <class... L>
struct ConcatT;
template <>
struct ConcatT<> {
  using type = TypeList<>;
};
template <class... A>
struct ConcatT<TypeList<A...>> {
  using type = TypeList<A...>;
};
template <class... A, class... B, class... Rest>
struct ConcatT<TypeList<A...>, TypeList<B...>, Rest...> {
  using type = typename ConcatT<TypeList<A..., B...>, Rest...>::type;
};
template <class... L>
using Concat = typename ConcatT<L...>::type;

constexpr uint32_t kIn = RPC_ARG_IN;
constexpr uint32_t kOut = RPC_ARG_OUT;

/* Size of one number text slot on the wire. */
constexpr int32_t kRealSlot = 40;

/* Kind families. Each has: flags, Handler (parameter types of the handler),
 * Client (parameter types of the client stub). */
struct Rpc {
  static constexpr uint32_t flags = RPC_ARG_RPC | kIn;
  using Handler = TypeList<RpcHandle*>;
  using Client = TypeList<>;
};
template <class T, uint32_t Kind>
struct InScalar {
  using Type = T;
  static constexpr uint32_t flags = Kind | kIn;
  using Handler = TypeList<T>;
  using Client = TypeList<T>;
};
template <class T, uint32_t Kind>
struct OutScalar {
  using Type = T;
  static constexpr uint32_t flags = Kind | kOut;
  using Handler = TypeList<T*>;
  using Client = TypeList<T*>;
};
template <class E, uint32_t Kind>
struct InBlock {
  using Elem = E;
  static constexpr uint32_t flags = Kind | kIn;
  using Handler = TypeList<int32_t, E*>;
  using Client = TypeList<int32_t, const std::conditional_t<std::is_same_v<E, char>, void, E>*>;
};
template <class E, uint32_t Kind>
struct OutBlock {
  using Elem = E;
  static constexpr uint32_t flags = Kind | kOut;
  using Handler = TypeList<int32_t*, E*>;
  using Client = TypeList<int32_t*, std::conditional_t<std::is_same_v<E, char>, void, E>*>;
};
struct InText {
  static constexpr uint32_t flags = RPC_ARG_DESC | kIn;
  using Handler = TypeList<char*>;
  using Client = TypeList<const char*>;
};
template <class E, uint32_t Kind, int32_t N>
struct InFixed {
  using Elem = E;
  static constexpr int32_t bytes = N;
  static constexpr uint32_t flags = Kind | kIn;
  using Handler = TypeList<E*>;
  using Client = TypeList<const E*>;
};
template <class E, uint32_t Kind, int32_t N>
struct OutFixed {
  using Elem = E;
  static constexpr int32_t bytes = N;
  static constexpr uint32_t flags = Kind | kOut;
  using Handler = TypeList<E*>;
  using Client = TypeList<E*>;
};
template <class T>
struct InReal {
  using Type = T;
  static constexpr uint32_t flags = RPC_ARG_REAL | kIn;
  using Handler = TypeList<T>;
  using Client = TypeList<T>;
};
template <class T>
struct InRealArray {
  using Type = T;
  static constexpr uint32_t flags = RPC_ARG_REAL | kIn;
  using Handler = TypeList<int32_t, T*>;
  using Client = TypeList<int32_t, const T*>;
};
template <class T>
struct OutReal {
  using Type = T;
  static constexpr uint32_t flags = RPC_ARG_REAL | kOut;
  using Handler = TypeList<T*>;
  using Client = TypeList<T*>;
};
template <class T>
struct OutRealArray {
  using Type = T;
  static constexpr uint32_t flags = RPC_ARG_REAL | kOut;
  using Handler = TypeList<int32_t*, T*>;
  using Client = TypeList<int32_t*, T*>;
};
template <uint32_t Dir>
struct Wv {
  static constexpr uint32_t flags = RPC_ARG_WVARRAY | Dir;
  using Handler = TypeList<int32_t, wvarray*>;
  using Client = TypeList<int32_t, wvarray*>;
};
template <class T, uint32_t Kind>
struct Result {
  using Type = T;
  static constexpr uint32_t flags = Kind | kOut;
};

/* The kind names the procedure list uses. */
namespace kinds {
using rpc = Rpc;
using i16 = InScalar<int16_t, RPC_ARG_INT16>;
using i32 = InScalar<int32_t, RPC_ARG_INT32>;
using ptr = InScalar<void*, RPC_ARG_PTR>;
using len = InScalar<SQLLEN, RPC_ARG_SQLLEN>;
using ulen = InScalar<SQLULEN, RPC_ARG_SQLULEN>;
using out_i16 = OutScalar<int16_t, RPC_ARG_INT16>;
using out_i32 = OutScalar<int32_t, RPC_ARG_INT32>;
using out_ptr = OutScalar<void*, RPC_ARG_PTR>;
using out_len = OutScalar<SQLLEN, RPC_ARG_SQLLEN>;
using out_ulen = OutScalar<SQLULEN, RPC_ARG_SQLULEN>;
using desc = InBlock<char, RPC_ARG_DESC>;
using a16 = InBlock<int16_t, RPC_ARG_INT16_ARRAY>;
using a32 = InBlock<int32_t, RPC_ARG_INT32_ARRAY>;
using a64 = InBlock<int64_t, RPC_ARG_INT64_ARRAY>;
using alen = InBlock<SQLLEN, RPC_ARG_SQLLEN_ARRAY>;
using aulen = InBlock<SQLULEN, RPC_ARG_SQLULEN_ARRAY>;
using out_desc = OutBlock<char, RPC_ARG_DESC>;
// An out_desc whose handler writes (or zeroes) every byte it sends back, so
// the server's RPC layer leaves the block unzeroed. The same on the wire.
using out_desc_filled = OutBlock<char, RPC_ARG_DESC | RPC_ARG_FILLED>;
using out_a16 = OutBlock<int16_t, RPC_ARG_INT16_ARRAY>;
using out_a32 = OutBlock<int32_t, RPC_ARG_INT32_ARRAY>;
using out_a64 = OutBlock<int64_t, RPC_ARG_INT64_ARRAY>;
using out_alen = OutBlock<SQLLEN, RPC_ARG_SQLLEN_ARRAY>;
using out_aulen = OutBlock<SQLULEN, RPC_ARG_SQLULEN_ARRAY>;
using text = InText;
template <int32_t N>
using a16_fix = InFixed<int16_t, RPC_ARG_INT16_ARRAY, N>;
template <int32_t N>
using a32_fix = InFixed<int32_t, RPC_ARG_INT32_ARRAY, N>;
template <int32_t N>
using out_desc_fix = OutFixed<char, RPC_ARG_DESC, N>;
template <int32_t N>
using out_a16_fix = OutFixed<int16_t, RPC_ARG_INT16_ARRAY, N>;
template <int32_t N>
using out_a32_fix = OutFixed<int32_t, RPC_ARG_INT32_ARRAY, N>;
using real_f = InReal<float>;
using real_d = InReal<double>;
using real_fa = InRealArray<float>;
using real_da = InRealArray<double>;
using out_real_f = OutReal<float>;
using out_real_d = OutReal<double>;
using out_real_fa = OutRealArray<float>;
using out_real_da = OutRealArray<double>;
using wv = Wv<kIn>;
using out_wv = Wv<kOut>;
using r16 = Result<int16_t, RPC_ARG_INT16>;
using r32 = Result<int32_t, RPC_ARG_INT32>;
}  // namespace kinds

/* Who serves and calls a procedure. client: a handler and a client stub;
 * server: a handler only (no client of this system calls it); spare: neither
 * (the server stub answers -1). */
enum class Role { client, server, spare };

template <std::size_t N>
struct FixedString {
  char text[N];
  constexpr FixedString(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

/* One procedure: name, role, result kind and argument kinds in row order. */
template <FixedString Name, Role R, class Res, class... Args>
struct Row {
  static constexpr const char* name = Name.text;
  static constexpr Role role = R;
  using ResultKind = Res;
  using ResultType = typename Res::Type;
  static constexpr std::size_t arg_count = sizeof...(Args);
  static_assert(arg_count + 1 <= RPC_MAX_ARGS, "too many arguments");
  using HandlerParams = Concat<typename Args::Handler...>;
  using ClientParams = Concat<typename Args::Client...>;
  /* Flags word of argument i, the result last, 0 after it. */
  static constexpr uint32_t flags(std::size_t i) {
    constexpr uint32_t all[] = {Args::flags..., Res::flags, 0};
    return i <= arg_count ? all[i] : 0;
  }
};

template <class R, class L>
struct FnT;
template <class R, class... P>
struct FnT<R, TypeList<P...>> {
  using type = R(P...);
};
/* The function type of a row's handler. */
template <class RowT>
using HandlerFn = typename FnT<typename RowT::ResultType, typename RowT::HandlerParams>::type;

}  // namespace kyproc

#endif
