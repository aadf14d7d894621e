// Row arrays (argument kind 0x100): a count, then per element a one-byte kind code
// (bit position + 1, 0 for an empty element) and its value in the ordinary form.
#ifndef KYRPC_WVARRAY_H
#define KYRPC_WVARRAY_H

#include <cstdint>
#include <vector>

#include "handle.h"

namespace kyrpc {

// Kind of a wire code, or 0 for code 0; -1 for a code outside the table.
int64_t wv_kind_of_code(int code);
// Code of an element kind, or -1 when the kind cannot be an element.
int wv_code_of_kind(uint32_t kind);

// Full form (values) and header form (kinds and lengths only, for out arguments).
void put_wvarray_full(RpcHandle& h, const wvarray* elems, int32_t count);
void put_wvarray_header(RpcHandle& h, const wvarray* elems, int32_t count);

// Server: reads a row array into new zero-filled storage; allocated[i] is the size of
// element i's storage. Returns the element array (null for count 0).
wvarray* get_wvarray_server(RpcHandle& h, bool header_only, int32_t* count, std::vector<size_t>* allocated);
void free_wvarray(wvarray* elems, int32_t count);

// Client: reads a reply's row array into the caller's elements. The count, each kind
// and each length must fit what the caller sent, else code 18 with nothing written.
void get_wvarray_client(RpcHandle& h, wvarray* elems, int32_t count);

}  // namespace kyrpc

#endif
