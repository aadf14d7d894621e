/* kyrpc: the remote procedure call library shared by the server and every client.
 *
 * One RpcHandle is one end of one connection. A server handle adopts an accepted
 * socket, exports a procedure table and serves calls with RPCRun; a client handle
 * connects with the BSD transport and calls procedures by name with RPCExec.
 * Every operation on a handle returns 0 for success and 1 for failure unless its
 * comment says otherwise; the failure's code stays in the handle and RPCReportError
 * gives its text. One call at a time runs on a handle (RPCExec holds its lock).
 *
 * Calling order, server: RPCAllocHandle, RPCRegisterPrivatePtr, RPCInitialise(h, 0,
 * socket), RPCExport, RPCEnumerateTransports (find "*Winsock Driver"),
 * RPCSetTransportOpts, RPCConnect, RPCRun (until it fails), RPCLastRPC and
 * RPCReportError for the log, RPCDisconnect, RPCTerminate, RPCFreeHandle.
 * Calling order, client: RPCAllocHandle, RPCInitialise(h, 1, 0),
 * RPCSetTransportOpts(h, 1, host, port, ...), optionally RPCSetLowLTransportOpts and
 * SetTracing, RPCConnect, any number of RPCExec, RPCDisconnect, RPCTerminate,
 * RPCFreeHandle.
 */
#ifndef KYRPC_H
#define KYRPC_H

#include <stddef.h>
#include <stdint.h>

#if defined(KYRPC_BUILDING)
#define RPC_API __attribute__((visibility("default")))
#else
#define RPC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Argument flags: one kind bit plus the direction bits ---------------------- */
#define RPC_ARG_INT16 0x00001u /* 2 bytes */
#define RPC_ARG_INT32 0x00002u /* 4 bytes */
#define RPC_ARG_DESC 0x00004u  /* byte block */
#define RPC_ARG_INT16_ARRAY 0x00008u
#define RPC_ARG_INT32_ARRAY 0x00010u
#define RPC_ARG_INT64 0x00020u
#define RPC_ARG_PTR 0x00040u     /* a server handle */
#define RPC_ARG_REAL 0x00080u    /* float/double values as number text, a block */
#define RPC_ARG_WVARRAY 0x00100u /* row array of typed elements */
#define RPC_ARG_RPC 0x00200u     /* the RPC handle itself; never sent */
#define RPC_ARG_IN 0x00400u
#define RPC_ARG_OUT 0x00800u
#define RPC_ARG_FLOAT_ARRAY 0x01000u  /* only as a wvarray element kind */
#define RPC_ARG_DOUBLE_ARRAY 0x02000u /* only as a wvarray element kind */
#define RPC_ARG_INT64_ARRAY 0x04000u
#define RPC_ARG_SQLLEN 0x08000u
#define RPC_ARG_SQLULEN 0x10000u
#define RPC_ARG_SQLLEN_ARRAY 0x20000u
#define RPC_ARG_SQLULEN_ARRAY 0x40000u
/* Server side, with an out-only block (RPC_ARG_DESC and the arrays): the
 * handler writes every byte of the block that it sends back, so the library
 * hands it storage as the allocator gives it instead of zero-filled storage.
 * Never sent: the procedure list announced to clients leaves it out. */
#define RPC_ARG_FILLED 0x80000000u

/* Kinds that travel as a length and bytes (the wvarray included). */
#define RPC_ARG_BUFFER_KINDS 0x6419Cu
/* Every kind bit an argument of a procedure may carry. */
#define RPC_ARG_KIND_MASK 0x7C3FFu

#define RPC_MAX_ARGS 20
/* Length of a caller's block record that holds a NUL-terminated text (sent as strlen + 1). */
#define RPC_LEN_NTS (-3)

/* ---- Records shared with callers ------------------------------------------------ */

struct RpcHandle;
typedef struct RpcHandle RpcHandle;

/* The 8-byte value slot: scalars (int16 and int32 in the low bytes), a data pointer for
 * buffer kinds, the RpcHandle for the implicit handle argument. */
typedef union RpcValue {
  int16_t i16;
  int32_t i32;
  int64_t i64;
  uint64_t u64;
  void* ptr;
} RpcValue;

/* One argument of a procedure, and the record through which callers pass a block,
 * array, number text or wvarray to RPCExec and stubs hand out-buffers to __RPCsetarg.
 * size: buffer kinds: byte length (RPC_LEN_NTS for a NUL-terminated text; for an out
 * argument the capacity on the way in, 0 asks the library to allocate); wvarray: the
 * element count. */
typedef struct ArgumentDescriptor {
  uint32_t flags; /* 0 ends a procedure's argument list */
  const char* name;
  int32_t size;
  RpcValue value;
  intptr_t spare[2]; /* copied with the record, not interpreted */
} ArgumentDescriptor;

/* A server stub: called by RPCRun with the procedure's filled argument vector. */
typedef void (*RpcStubFn)(ArgumentDescriptor* args);

/* One procedure. A table given to RPCExport is an array of these ended by a row whose
 * name is null; next and ordinal are filled by the library. */
typedef struct FunctionDescriptor {
  const char* name;
  RpcStubFn handler;
  ArgumentDescriptor args[RPC_MAX_ARGS]; /* the last argument in use is the result */
  struct FunctionDescriptor* next;
  uint16_t ordinal;
  intptr_t spare;
} FunctionDescriptor;

/* One element of a row array (argument kind RPC_ARG_WVARRAY): the argument's value slot
 * points to an array of these, its size is the element count. iovec_type is an argument
 * kind bit (int16 ... sqlulen-array, float/double array) or 0 for an empty element. */
typedef struct wvarray {
  void* iovec_base;
  int32_t iovec_len;
  int32_t iovec_type;
} wvarray;

/* ---- Error codes (RPCReportError gives the text) --------------------------------- */
#define RPC_ERR_NOERROR 0
#define RPC_ERR_INVMODE 1
#define RPC_ERR_BADSTATE 2
#define RPC_ERR_NOMEM 3
#define RPC_ERR_NOTSP 4
#define RPC_ERR_BADARG 5
#define RPC_ERR_BADTRAN 6
#define RPC_ERR_TRANSPORT 7 /* send/receive failed; text from the transport */
#define RPC_ERR_TRANSPORT_MSG 8
#define RPC_ERR_OPEN 9 /* transport open failed; text from the transport */
#define RPC_ERR_BADNEG 10
#define RPC_ERR_BADMGK 11
#define RPC_ERR_FUNCFAIL 12
#define RPC_ERR_NONAME 13 /* cleared again after the error callback */
#define RPC_ERR_BADFUNC 14
#define RPC_ERR_EPKT 15
#define RPC_ERR_BADSTR 16
#define RPC_ERR_SRTPKT 17
#define RPC_ERR_TRUNC 18
#define RPC_ERR_BADUID 19
#define RPC_ERR_BADVER 20
#define RPC_ERR_INTERR 21
#define RPC_ERR_INVPARAM 22
#define RPC_ERR_MISSPARAM 23
#define RPC_ERR_TBLFULL 24
#define RPC_ERR_DECOMP 25
#define RPC_ERR_HMARSHAL 26
#define RPC_ERR_NETLOAD 27
#define RPC_ERR_NOTRNAME 28
#define RPC_ERR_NETINITFAIL 29
#define RPC_ERR_DUPEXPFN 30
#define RPC_ERR_BADWINSOCK 31
#define RPC_ERR_BADWINSOCKVER 32
#define RPC_ERR_BAD_CHALLENGELEN 33
#define RPC_ERR_BAD_CHALLENGE 34
#define RPC_ERR_VERSION_TOO_BIG 35
#define RPC_ERR_PARAMS_TOO_BIG 36
#define RPC_ERR_TRANSPORT_TEXT 999 /* text kept in the handle */

/* ---- Modes, transports, options ------------------------------------------------- */
#define RPC_MODE_SERVER 0
#define RPC_MODE_CLIENT 1

/* Transport table order; clients use RPC_TRANSPORT_BSD, servers look their driver up by
 * name with RPCEnumerateTransports. */
#define RPC_TRANSPORT_TTY 0
#define RPC_TRANSPORT_BSD 1
#define RPC_TRANSPORT_WINSOCK 2
#define RPC_TRANSPORT_NAME_TTY "*TTY Driver"
#define RPC_TRANSPORT_NAME_BSD "*BSD Driver"
#define RPC_TRANSPORT_NAME_WINSOCK "*Winsock Driver"

/* Ids for RPCSetLowLTransportOpts (all read by the BSD transport only). */
#define RPC_LOWL_RCVLOWAT 1 /* default 8192 */
#define RPC_LOWL_RCVBUF 2   /* default 16384 */
#define RPC_LOWL_SNDBUF 3   /* default 16384 */
#define RPC_LOWL_ATTEMPTS 4 /* connect attempts, default 5 */
#define RPC_LOWL_RCVTIMEO 5 /* milliseconds, not set by default */
#define RPC_LOWL_SNDTIMEO 6 /* milliseconds, not set by default */

/* RPCGetInfo items. */
#define RPC_INFO_BYTE_ORDER 1 /* "Y" when the peer's byte order differs */
#define RPC_INFO_NOT_RPC 2    /* "Y" when the last error is 7 or 10 (peer does not speak RPC) */

/* RPCRegisterPrivatePtr flags: the library frees the pointer (with free()) in
 * RPCFreeHandle, so it must come from malloc. */
#define RPC_PRIVATE_FREE 0x1

/* ---- The exported operations -------------------------------------------------- */

/* A new handle in state 0 (mode -1); null when memory fails. */
RPC_API RpcHandle* RPCAllocHandle(void);

/* mode RPC_MODE_SERVER or RPC_MODE_CLIENT; socket: the descriptor a server handle adopts
 * (clients pass 0). State 0 -> 1. */
RPC_API int RPCInitialise(RpcHandle* h, int mode, int socket);

/* The index-th transport's name and description (owned by the library); 1 with code 5
 * past the last one; 1 with code 2 before RPCInitialise. */
RPC_API int RPCEnumerateTransports(RpcHandle* h, int index, const char** name, const char** description);

/* Transport index, then option slots 1-7 (each may be null): 1 host, 2 port, 3-5 free
 * texts, 6 idle time-out in seconds, 7 connect time-out in seconds (bounds each connect attempt). State 1/2 -> 2. */
RPC_API int RPCSetTransportOpts(RpcHandle* h, int transport, const char* opt1, const char* opt2, const char* opt3,
                                const char* opt4, const char* opt5, const char* opt6, const char* opt7);

/* count pairs (int id, const char* text) with the RPC_LOWL_* ids; other ids are skipped.
 * Needs state 2. */
RPC_API int RPCSetLowLTransportOpts(RpcHandle* h, int count, ...);

/* Copies at most 49 characters; sent to the peer, whose tracing it switches on. */
RPC_API int SetTracing(RpcHandle* h, const char* tracing);

/* Opens the transport and runs the handshake. Everyone passes 1, 0,
 * "1999-1014-0000000001". State 2 -> 4; on failure back to 2. program_id is borrowed. */
RPC_API int RPCConnect(RpcHandle* h, int version, int minor_version, const char* program_id);

/* States 2-4: closes the connection; state 2. */
RPC_API int RPCDisconnect(RpcHandle* h);

/* States 1-2: drops the options, state 0, runs the terminate function. */
RPC_API int RPCTerminate(RpcHandle* h);

/* Needs state 0; frees the handle and everything it holds. */
RPC_API int RPCFreeHandle(RpcHandle* h);

/* Server: copies the table (rows up to the one with a null name). */
RPC_API int RPCExport(RpcHandle* h, const FunctionDescriptor* table);

/* Server: serves calls until one fails; always returns 1 (code 7 when the client left). */
RPC_API int RPCRun(RpcHandle* h);

/* Client: calls a procedure by name. After the name, one argument for every argument of
 * the procedure except the implicit RPC handle, in the procedure's order:
 *   in int16, int32            int (by value)
 *   in int64, sqllen, sqlulen  int64_t (by value)
 *   in pointer                 void* (by value)
 *   out (or in/out) scalar     address of the caller's variable of the kind's width
 *                              (int16_t*, int32_t*, int64_t*, void**)
 *   block, array, number text  ArgumentDescriptor* whose size is the length (in;
 *                              RPC_LEN_NTS for a text) or the capacity (out; 0 = the
 *                              library allocates with malloc, the caller frees) and whose
 *                              value.ptr is the data; on return an out record holds the
 *                              received length and the data pointer
 *   wvarray                    ArgumentDescriptor* whose size is the element count and
 *                              value.ptr the wvarray elements
 * The last argument is the result: an out scalar. */
RPC_API int RPCExec(RpcHandle* h, const char* name, ...);

/* Client: a call sent ahead of its reply. RPCQueue takes what RPCExec takes and writes
 * the call, but keeps its bytes back and returns at once; RPCCollect sends what is
 * kept and reads the oldest queued call's reply into that call's out arguments and
 * result, or with discard != 0 reads it to its end and writes nothing of the
 * caller's. The server answers queued calls one after another, in order, exactly
 * as if each had been made with RPCExec. Everything a queued call was given stays
 * the caller's to keep valid until its reply is collected. The handle stays with
 * the queuing thread until every queued reply is collected (other callers wait);
 * an RPCExec in between first reads and drops the queued replies. A failed
 * exchange drops every queued call. Queue only small calls: the bytes held back
 * are sent once they pass 64 KiB. RPCCollect returns 1 when nothing is queued. */
RPC_API int RPCQueue(RpcHandle* h, const char* name, ...);
RPC_API int RPCCollect(RpcHandle* h, int discard);

/* Client: a call whose answer nobody waits for. RPCPost writes the call as RPCQueue
 * does and returns at once; the call leaves with the next call made on the handle
 * (RPCExec, or the first RPCCollect), in the same send, and its reply is read and
 * dropped before that call's. Nothing the caller gave is used after RPCPost
 * returns, and the handle is not kept for the posting thread. For calls that cannot
 * fail on a valid handle (a close, a reset): a failure of one is never reported. */
RPC_API int RPCPost(RpcHandle* h, const char* name, ...);

/* 1 when the procedure list (client: as received from the server) holds the name. */
RPC_API int RPCFuncExists(RpcHandle* h, const char* name);

/* Items RPC_INFO_*: "Y" or "N" into out. -1 for a null handle, another item or
 * size <= 1; 1 when cut; 0 when copied whole. */
RPC_API int RPCGetInfo(RpcHandle* h, int what, char* out, size_t size);

RPC_API void* RPCGetPrivatePtr(RpcHandle* h);
RPC_API int RPCRegisterPrivatePtr(RpcHandle* h, void* ptr, int flags);
RPC_API int RPCRegisterTerminateFn(RpcHandle* h, void (*fn)(void* arg), void* arg);

/* Called as callback(code, context) after a failed RPCExec. */
RPC_API int RPCSetError(RpcHandle* h, void (*callback)(int code, void* context), void* context);

/* 1 when the handle is connected (state 4). */
RPC_API int RPCIsConnected(RpcHandle* h);

/* The longest a client waits for the server from now on (the connect, the handshake,
 * each reply), in milliseconds; 0 for ever. May be called in any state. */
RPC_API int RPCSetWaitLimit(RpcHandle* h, long millis);

/* Sets an end, millis from now, that no wait of the client goes past whatever its
 * limit (the connect, the handshake and every later reply); 0 clears it. A wait
 * cut short by it fails as one past its limit does. */
RPC_API int RPCSetWaitEnd(RpcHandle* h, long millis);

/* 1 when the last failure was a wait that ran past the limit (the link is closed). */
RPC_API int RPCTimedOut(RpcHandle* h);

/* Server: ordinal of the last served procedure (-1 before the first or for a null
 * handle); points *name at its name when name is not null. */
RPC_API int RPCLastRPC(RpcHandle* h, const char** name);

/* Returns the handle's code and points *text at its message (valid until the handle
 * changes or is freed). */
RPC_API int RPCReportError(RpcHandle* h, const char** text);

/* Text of a Winsock error number (errno values are mapped to these by the library). */
RPC_API const char* WSAErrorToText(int code);

/* Server stubs: *cursor points at the current argument. Scalars and the implicit handle
 * give the address of the value slot (int16_t*, int32_t*, int64_t*, void**,
 * RpcHandle**); buffer kinds and wvarray give the ArgumentDescriptor itself. The cursor
 * moves to the next argument. Null when *cursor is null. */
RPC_API void* __RPCextractarg(ArgumentDescriptor** cursor);

/* Stores an out value into the current argument and moves on: int16/int32 keep their
 * low bits, int64/sqllen/sqlulen/pointer all 8 bytes; for buffer kinds and wvarray value
 * is the address of an ArgumentDescriptor whose size and value.ptr are copied (the data
 * then belongs to the library, which frees it with free() after the reply). */
RPC_API ArgumentDescriptor** __RPCsetarg(ArgumentDescriptor** cursor, intptr_t value);

#ifdef __cplusplus
}
#endif

#endif
