// The RPC error table and the Winsock error texts. The texts are part of what
// callers show and match on (the server tests for a text ending in "peer"), so they
// stay exactly as written here, misspellings included.
#include "errors.h"

#include <cerrno>
#include <cstdio>

#include "kyrpc.h"

namespace kyrpc {
namespace {

struct ErrorRow {
  int code;
  const char* text;  // null: the transport's message
};

// Row order matters only for the documented table; 999 stands between 30 and 31.
constexpr ErrorRow kErrors[] = {
    {0, "RPC-NOERROR No error currently active"},
    {1, "RPC-INVMODE Mode argument invalid"},
    {2, "RPC-BADSTATE Function called out of sequence"},
    {3, "RPC-NOMEM Memory allocation failed"},
    {4, "RPC-NOTSP No transport found"},
    {5, "RPC-BADARG Invalid argument"},
    {6, "RPC-BADTRAN Invalid transport"},
    {7, nullptr},
    {8, nullptr},
    {9, nullptr},
    {10, "RPC-BADNEG Negotiation fails"},
    {11, "RPC-BADMGK Bad magic number"},
    {12, "RPC-FUNCFAIL Function fails"},
    {13, "RPC-NONAME Function name not in dispatch table"},
    {14, "RPC-BADFUNC Function is invalid"},
    {15, "RPC-EPKT Empty packet received"},
    {16, "RPC-BADSTR Bad start packet received"},
    {17, "RPC-SRTPKT Short packet received"},
    {18, "RPC-TRUNC Data would be lost"},
    {19, "RPC-BADUID, Bad uid - incompatible client and server versions"},
    {20, "RPC-BADVER, Bad Version"},
    {21, "RPC-INTERR, Internal Error"},
    {22, "RPC-INVPARAM, Invalid Parameter"},
    {23, "RPC-MISSPARAM, Missing Parameter"},
    {24, "RPC-TBLFULL, Pointer lookup table full"},
    {25, "RPC-DECOMP, Decompression error"},
    {26, "RPC-HMARSHAL, Handle marshalling error"},
    {27, "RPC-NETLOAD, Failed to load network drivers"},
    {28, "RPC-NOTRNAME, No transport anme located"},
    {29, "RPC-NETINITFAIL, Failed to initialise network layer"},
    {30, "RPC-DUPEXPFN, Duplicate function exported"},
    {999, nullptr},
    {31, "RPC_BADWINSOCK, Failed to initialise Winsock 2"},
    {32, "RPC_BADWINSOCKVER, Unsuitable Winsock version"},
    {33, "RPC_BAD_CHALLENGELEN, Bad challenge length"},
    {34, "RPC_BAD_CHALLENGE, Incorrect challenge response"},
    {35, "RPC_VERSION_TOO_BIG, RPC version string too long"},
    {36, "RPC_PARAMS_TOO_BIG, RPC parameter string too long"},
    {-1, nullptr},
};

struct WsaRow {
  int code;
  const char* text;
};

// Searched in order, first match wins (10044 appears twice; the second never shows).
constexpr WsaRow kWsaTexts[] = {
    {10013, "Permission denied"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10047, "Address family not supported by protocol"},
    {10037, "Operation already in progress"},
    {10053, "Software caused connection abort"},
    {10061, "Connection refused"},
    {10054, "Connection reset by peer"},
    {10039, "Destination address required"},
    {10014, "Bad address"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10036, "Operation now in progress"},
    {10004, "Interrupted function call"},
    {10022, "Invalid argument"},
    {10056, "Socket is already connected"},
    {10024, "Too many open files"},
    {10040, "Message too long"},
    {10050, "Network is down"},
    {10052, "Network dropped connection on reset"},
    {10051, "Network unreachable"},
    {10055, "No buffer space available"},
    {10042, "Bad protocol option"},
    {10057, "Socket is not connected"},
    {10038, "Socket operation on non-socket"},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10067, "Too many processes"},
    {10043, "Protocol not supported"},
    {10041, "Protocol wrong type for socket"},
    {10058, "Cannot send after socket shutdown"},
    {10044, "Socket type not supported"},
    {10060, "Connection timed out"},
    {10035, "Resource temporarily unavailable"},
    {11001, "Host not found"},
    {6, "Specified event object handle is invalid"},
    {87, "One or more parameters are invlid"},
    {997, "Overlapped operations will complete later"},
    {996, "Overlapped I/O event object not in signalled state"},
    {8, "Insufficient memory available"},
    {10093, "Successful WSAStartup not yet performed"},
    {11004, "Valid name, no data record of requested type"},
    {11003, "This is a non-recoverable error"},
    {10107, "System call failure"},
    {10091, "Network system is unavailable"},
    {11002, "Non-authorative host not found"},
    {10092, "WINDOCK.DLL version out of range"},
    {10101, "Graceful shutdown in progress"},
    {995, "Overlapped operations aborted"},
    {10071, "Too many levels of remote in path"},
    {10070, "Stale NFS file handle"},
    {10069, "Disc quota exceeded"},
    {10068, "Too many users"},
    {10066, "Directory not empty"},
    {10063, "File name too long"},
    {10062, "Too many levels of symbolic links"},
    {10059, "Too many references, can't splice"},
    {10044, "Socket type not supported"},
    {10009, "Bad file number"},
};
static_assert(sizeof(kWsaTexts) / sizeof(kWsaTexts[0]) == 59);

struct ErrnoRow {
  int err;
  int wsa;
};

constexpr ErrnoRow kErrnoMap[] = {
    {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},       {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},
    {EISCONN, 10056},       {ENOTCONN, 10057},     {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},        {ESTALE, 10070},       {EREMOTE, 10071},         {ENOMEM, 8},
};

}  // namespace

const char* error_table_text(int code, bool* from_transport) {
  *from_transport = false;
  for (const ErrorRow& row : kErrors) {
    if (row.code == -1) break;
    if (row.code == code) {
      *from_transport = row.text == nullptr;
      return row.text;
    }
  }
  return "RPC-NOMSG, No message available";
}

int wsa_from_errno(int err) {
  for (const ErrnoRow& row : kErrnoMap)
    if (row.err == err) return row.wsa;
  return err;
}

int wsa_last_error() { return wsa_from_errno(errno); }

}  // namespace kyrpc

extern "C" const char* WSAErrorToText(int code) {
  for (const kyrpc::WsaRow& row : kyrpc::kWsaTexts)
    if (row.code == code) return row.text;
  // One area per thread, so concurrent callers never see each other's number.
  static thread_local char fallback[40];
  std::snprintf(fallback, sizeof fallback, "error %d     ", code);
  return fallback;
}
