// Client handle records of the driver and the internal functions that the
// driver's units share. The records are plain structures; every exported entry
// point goes through the entry guard (odbc_api.cpp), which checks its handle in
// the registry of live records before it reads the tag and holds the handle's
// call lock for the call. odbc_api.cpp says what each lock guards.
#ifndef KYVEK_DRIVER_DRIVER_H
#define KYVEK_DRIVER_DRIVER_H

#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <memory>
#include <vector>

#include "identity.h"
#include "sqlstate.h"
#include "attr_list.h"
#include "diag_post.h"
#include "statement_record.h"  // slots, fetch kinds and need-data sources
#include "driver_attr.h"

struct RpcHandle;

namespace kyvek::driver {

// Handle types of vekc_chk_handle (4 is not used on the client).
enum HandleType : int { kEnv = 1, kDbc = 2, kStmt = 3, kDesc = 5, kDescRec = 6 };

struct client_dbc;
struct client_desc;

// Statement flag word on the client.
enum : uint32_t {
  kStmtNewResult = 0x1,
  kStmtBlockFetchWanted = 0x2,
  kStmtBlockFetchTried = 0x4,
  kStmtBlockFetchOn = 0x8,
  kStmtMetadata = 0x10,
  kStmtParamCountAsked = 0x40,
  kStmtParamsReset = 0x100,
  kStmtCursorNamed = 0x400,  // the application named or asked the cursor's name
};

// diag_header.flags bit of the client (cleared with the list): the server's
// records of the handle were copied into the list, so they are not read again.
constexpr uint32_t kDiagServerTaken = 0x100;

// A parameter's description as SQLPrepare caches it.
struct ParamDescription {
  int16_t number, data_type;
  SQLULEN size;
  int16_t digits, nullable;
};

struct client_desc;

// A result column as describe_col_all gives it: SQLDescribeCol's answers.
struct DescribedColumn {
  std::string name;
  int16_t type = 0;
  SQLULEN size = 0;
  int16_t digits = 0, nullable = 0;
};

// The client's statement record: the server's twin statement, what the
// driver keeps of it between calls, and its four descriptor slots.
struct client_stmt {
  char tag[4];  // "STMT"; cleared before the record is freed
  client_dbc* owner = nullptr;
  client_stmt *next = nullptr, *prev = nullptr;  // the connection's statement list (client_dbc::lock)
  void* driver_stmt = nullptr;                   // the server's statement handle
  client_desc* implicit_desc[DESC_SLOTS] = {};   // APD, ARD, IPD, IRD made with the statement
  client_desc* current_desc[DESC_SLOTS] = {};    // in use; APD/ARD may be the application's
  int16_t result_columns = 0;                    // of the current result set; -1 not learnt yet
  uint32_t flags = 0;                            // kStmt*
  int32_t fetch_kind = 0;                        // FETCH_*
  int32_t need_data_source = 0;                  // NEED_DATA_*
  diag_header diags{};
  // The call lock (odbc_api.cpp), shared with the registry so that a call
  // that frees the statement can still release it; everything in this record
  // belongs to the call that holds it.
  std::shared_ptr<std::recursive_mutex> call_lock = std::make_shared<std::recursive_mutex>();
  std::recursive_mutex& lock = *call_lock;
  int32_t block_fetch_size = 0;
  int32_t cursor_state = 0;
  // Statement options 0-12 as last spread from the connection (SQL_QUERY_TIMEOUT
  // ... SQL_USE_BOOKMARKS); option 4 is never stored.
  SQLULEN options[13] = {};
  // Execution and fetching (statement units, statements.h).
  int16_t last_exec_status = 0;               // of the last remote execute; 2 skips re-sending parameters
  int32_t need_data_number = -1;              // parameter or column that SQLPutData feeds
  int32_t param_markers = -1;                 // most parameters the statement can use; -1 not known
  int32_t block_cursor = -1;                  // row of the block being served (block fetch)
  int32_t getdata_count = 0;                  // SQLGetData calls since the last fetch
  void* fetch_bookmark_ptr = nullptr;         // SQL_ATTR_FETCH_BOOKMARK_PTR
  SQLULEN attr_copies[8] = {};                // other mirrored statement attributes (stmt_attr.cpp)
  std::vector<ParamDescription> param_descs;  // cached by SQLPrepare under ODBC 2
  std::shared_ptr<struct BlockCache> block;   // block-fetch cache (block_fetch.cpp)
  // The current result set's columns, asked all at once on first need
  // (columns.cpp); described_asked: asked (empty after a failure).
  std::vector<DescribedColumn> described;
  bool described_asked = false;
};

// Environment set-mask bits.
enum : uint32_t { kEnvSetCpMatch = 0x2, kEnvSetVersion = 0x4, kEnvSetOutputNts = 0x8 };

struct client_env {
  char tag[4];
  client_dbc* connections = nullptr;
  uint32_t set_mask = 0;
  int32_t cp_match = 0;
  int32_t odbc_version = 3;
  int32_t output_nts = 1;
  diag_header diag{};
  std::recursive_mutex lock;  // the list of connections
};

// Client flag word of a connection (connection keywords).
enum : uint32_t {
  kFlagUnquoteCatalogFns = 0x1,
  kFlagMetadataIdIdentifiers = 0x2,
  kFlagDisguiseWide = 0x4,
  kFlagMetadataBlockFetch = 0x8,
  kFlagUseVekDbAuth = 0x10,
  kFlagGetInfoPassthru = 0x20,
  kFlagMapExecDirect = 0x40,
  kFlagOverrideLength = 0x80,
  kFlagDecAsNumeric = 0x200,
  kFlagBlockFetchDefault = 0x400,  // no BLOCKFETCHSIZE given: read ahead where nobody can tell
};

// Server flags of a connection.
enum : uint32_t { kServerFaze2 = 0x2, kServerOtherByteOrder = 0x4 };

// Attribute set-mask bits of the cached connection attributes.
enum : uint32_t {
  kCaAccessMode = 0x1,
  kCaAsyncEnable = 0x2,
  kCaAutocommit = 0x4,
  kCaConnectionTimeout = 0x10,
  kCaCurrentCatalog = 0x20,
  kCaLoginTimeout = 0x40,
  kCaMetadataId = 0x80,
  kCaOdbcCursors = 0x100,
  kCaPacketSize = 0x200,
  kCaQuietMode = 0x400,
  kCaTranslateLib = 0x800,
  kCaTranslateOption = 0x1000,
  kCaTxnIsolation = 0x2000,
  kCaAnsiApp = 0x4000,
  kCa1224 = 0x8000,
};

struct InfoCacheEntry {
  uint16_t type;
  int32_t value;
};

constexpr int kInfoCacheSize = 100;
constexpr int kMaxIgnoredStmtAttrs = 10;

struct client_dbc {
  char tag[4];
  client_env* env = nullptr;
  client_dbc *next = nullptr, *prev = nullptr;
  RpcHandle* rpc = nullptr;
  client_stmt* statements = nullptr;
  client_desc* descriptors = nullptr;
  uint64_t server_dbc = 0;
  uint64_t server_env = 0;

  uint32_t attr_set_mask = 0;
  int32_t access_mode = 0;
  int32_t async_enable = 0;
  int32_t autocommit = 1;
  int32_t auto_ipd = 0;
  int32_t connection_timeout = 0;
  std::string* current_catalog = nullptr;
  int32_t login_timeout = 15;
  // The end of the connect under way (its login time-out), or none.
  std::optional<std::chrono::steady_clock::time_point> connect_end;
  int32_t metadata_id = 0;
  int32_t odbc_cursors = 2;
  int32_t packet_size = 0;
  void* quiet_mode = nullptr;
  std::string* translate_lib = nullptr;
  int32_t translate_option = 0;
  int32_t txn_isolation = 0;
  int32_t ansi_app = 1;
  int32_t attr_1224 = 0;

  int32_t param_count_support = -1;
  int32_t default_param_size = 255;
  int32_t registry_flags = 0;
  uint32_t client_flags = kFlagMetadataBlockFetch;
  int32_t block_fetch_size = 0;
  // The target's DBMS name, asked once (block fetch reads reals as it writes them).
  std::string target_dbms;
  bool target_dbms_known = false;
  int32_t bookmark_size = 32;
  int32_t rcv_lowat = -1, rcv_buf = -1, snd_buf = -1, connect_retries = -1;
  uint32_t server_flags = 0;
  int32_t info_count = 0;
  InfoCacheEntry info_cache[kInfoCacheSize]{};
  char dsn_name[256]{};
  diag_header diag{};
  std::recursive_mutex lock;  // the statement and descriptor lists, the information cache
  // Set by the link's error callback on whichever thread saw the link fail,
  // read by every call (SQLCancel among them, while another call runs).
  std::atomic<int32_t> dead{0};
  // The state (and text) a wait past the link's limit reports: HYT00 for the
  // logon and a query, HYT01 for any other call (the connection time-out).
  std::atomic<const sqlstate::Row*> wait_state{&sqlstate::kHYT01};
  int32_t ignored_count = 0;
  int32_t ignored_stmt_attrs[kMaxIgnoredStmtAttrs]{};
  // Browse connect (browse.cpp): 0 none, 1 after the first answer, 2 after the
  // list of data sources (the link is then open); the presence-mask bits the
  // next call must give and those the last answer offered; the connection
  // strings given after the first call.
  int32_t browse_state = 0;
  uint32_t browse_required = 0;
  uint32_t browse_optional = 0;
  std::string browse_accum;
  std::vector<DriverAttr> driver_attrs;  // driver-defined attributes set before connect (lock)
};

// Bounds each wait of the link for the server: seconds (0 for ever), reported
// with state when it runs out.
void set_link_wait(client_dbc* dbc, SQLULEN seconds, const sqlstate::Row& state);

// For the life of one executing call, the statement's query time-out bounds the
// waits; afterwards the connection time-out does again.
class QueryWait {
 public:
  QueryWait(client_dbc* dbc, SQLULEN seconds) : dbc_(dbc) { set_link_wait(dbc, seconds, sqlstate::kHYT00); }
  ~QueryWait() { set_link_wait(dbc_, static_cast<SQLULEN>(dbc_->connection_timeout), sqlstate::kHYT01); }
  QueryWait(const QueryWait&) = delete;
  QueryWait& operator=(const QueryWait&) = delete;

 private:
  client_dbc* dbc_;
};

// One descriptor record; the fields beyond the tag belong to the descriptor
// and transfer units.
struct client_desc_rec {
  char tag[4];
  void* data_ptr;
  SQLLEN* octet_length_ptr;
  SQLLEN* indicator_ptr;
  char* name;
  char* label;
  void* transfer[3];
  uint32_t transfer_cap[3];
  // Binding fields mirrored by the statement units (zero when unbound).
  int16_t concise_type, type, datetime_sub;
  int16_t parameter_type;  // IPD: 1 input, 2 input/output, 4 output
  int16_t default_ctype;   // IRD: default C type of the column's SQL type
  int16_t precision, scale;
  SQLLEN octet_length;  // APD/ARD: BufferLength of the binding
  SQLULEN length;       // IPD: ColumnSize
};

struct client_desc {
  char tag[4];
  client_dbc* dbc = nullptr;
  SQLULEN array_size = 1;
  // Header fields mirrored on the client (statement attributes, stmt_attr.cpp).
  SQLULEN rowset_size = 1;  // ARD: ODBC 2 SQL_ROWSET_SIZE
  SQLULEN bind_type = 0;    // 0 column-wise, else the row size
  SQLLEN* bind_offset_ptr = nullptr;
  SQLUSMALLINT* array_status_ptr = nullptr;
  SQLULEN* rows_processed_ptr = nullptr;
  SQLUSMALLINT* ext_status_ptr = nullptr;  // IRD: status array of the last SQLExtendedFetch
  client_stmt* stmt = nullptr;
  client_desc *next = nullptr, *prev = nullptr;
  uint64_t server_desc = 0;
  int32_t alloc_type = 2;
  int16_t bound_count = 0;
  int16_t n_descrec = 0;
  client_desc_rec* records = nullptr;
  diag_header diag{};
};

// ---- handle records (handles.cpp) ----------------------------------------
// 0 when rec is a live record of the type whose tag matches; non-zero otherwise.
int vekc_chk_handle(int type, const void* rec);
// False when memory runs out (the record is then not registered).
bool register_handle(int type, void* rec);
// The lock the entry guard holds for a call on a live handle of the type
// (tag checked); null when rec is no such handle.
std::shared_ptr<std::recursive_mutex> handle_call_lock(int type, const void* rec);
// How many handles have been freed so far: while it stands, a handle found
// live is live still.
uint64_t handle_frees();
void unregister_handle(void* rec);

client_dbc* allocate_connection(client_env* env);
client_desc* vekc_alloc_desc(client_dbc* dbc, client_stmt* stmt);
void add_handle_to_list(int type, void* head_owner, void* rec);
void remove_handle_from_list(int type, void* head_owner, void* rec);
SQLRETURN free_desc(client_desc* desc);
SQLRETURN freeup_descriptors(client_dbc* dbc, client_stmt* stmt);
SQLRETURN free_stmt(client_stmt* stmt);
SQLRETURN freeup_statements(client_dbc* dbc);
SQLRETURN disconnect_dbc(client_dbc* dbc);

// True while the connection holds an RPC link.
inline bool is_connected(const client_dbc* dbc) { return dbc->rpc != nullptr; }
// Remote results that count as success.
inline bool rc_ok(int rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// ---- diagnostics ------------------------------------------------------------
// Posts a client record on hdr: class and subclass origin "ISO 9075" unless
// odbc3 is set ("ODBC 3.0"), the connection's DSN name as server name. Records
// SQL_ERROR as the handle's return code.
void post_client(diag_header* hdr, const client_dbc* dbc, int32_t native, const char* state, bool odbc3,
                 const char* fmt, ...) __attribute__((format(printf, 6, 7)));
// Posts and returns rc (recorded as the return code).
SQLRETURN post_rc(diag_header* hdr, const client_dbc* dbc, SQLRETURN rc, int32_t native, const char* state,
                  const char* message);
// The same with the state's text from the table.
void post_client(diag_header* hdr, const client_dbc* dbc, int32_t native, const sqlstate::Row& state, bool odbc3);
SQLRETURN post_rc(diag_header* hdr, const client_dbc* dbc, SQLRETURN rc, int32_t native, const sqlstate::Row& state);
// Copies text into an application buffer of buflen bytes: whole with its NUL
// when it fits, else cut to buflen - 1 bytes and a NUL (true: cut). A buffer
// length of 0 or a missing buffer writes nothing; full (when given) always
// gets the whole length.
bool copy_out(const char* text, char* buf, SQLLEN buflen, SQLLEN* full);

// ---- the connect road (connect.cpp) -----------------------------------------
// Opens the link to the first server:port that answers (SERVERPORT, or SERVER
// and PORT); 0 on success, -1 with records posted.
int rpc_connect(client_dbc* dbc, const AttrList& list);
// Ends the bound the login time-out set on the connect: later waits have the
// connection time-out.
void end_connect_bound(client_dbc* dbc);
// Over an open link: server information, the logon (LOGONUSER, LOGONAUTH; a
// dialog only when may_prompt), the server's environment and connection and
// the cached connection attributes. SQL_SUCCESS, SQL_NO_DATA for a cancelled
// dialog, or the failure (records posted); warned is set for kept warnings.
SQLRETURN open_server_session(client_dbc* dbc, AttrList& list, bool may_prompt, bool* warned);
// Closes the connection's link, if any, and forgets it.
void take_link_down(client_dbc* dbc);
// Copies an out connection string into the application's buffer: whole when
// it fits, else cut with a NUL and "01004" posted (true). The length is the
// whole length.
bool write_out_string(client_dbc* dbc, const std::string& text, SQLCHAR* out, SQLSMALLINT outmax, SQLSMALLINT* outlen);
// Ends a browse connect in progress: state 0, and a link it opened closed.
void end_browse(client_dbc* dbc);

// ---- connection keywords (keywords.cpp) -------------------------------------
// Bits of the attribute presence mask, one per keyword.
constexpr uint32_t kKeyDriver = 0x1;                      // DRIVER
constexpr uint32_t kKeyFileDsn = 0x2;                     // FILEDSN
constexpr uint32_t kKeySaveFile = 0x4;                    // SAVEFILE
constexpr uint32_t kKeyDsn = 0x8;                         // DSN
constexpr uint32_t kKeyServer = 0x10;                     // SERVER
constexpr uint32_t kKeyTransport = 0x20;                  // TRANSPORT
constexpr uint32_t kKeyPort = 0x40;                       // PORT
constexpr uint32_t kKeyTargetDsn = 0x80;                  // TARGETDSN
constexpr uint32_t kKeyTargetUser = 0x100;                // TARGETUSER
constexpr uint32_t kKeyTargetAuth = 0x200;                // TARGETAUTH
constexpr uint32_t kKeyLogonUser = 0x400;                 // LOGONUSER
constexpr uint32_t kKeyLogonAuth = 0x800;                 // LOGONAUTH
constexpr uint32_t kKeyBlockFetchSize = 0x1000;           // BLOCKFETCHSIZE
constexpr uint32_t kKeyMetadataBlockFetch = 0x2000;       // METADATABLOCKFETCH
constexpr uint32_t kKeyDisguiseWide = 0x4000;             // DISGUISEWIDE
constexpr uint32_t kKeyUseVekDbAuth = 0x8000;             // USEVEKDBAUTH
constexpr uint32_t kKeyGetInfoPassthru = 0x10000;         // GETINFOPASSTHRU
constexpr uint32_t kKeyMapExecDirect = 0x20000;           // MAPEXECDIRECT
constexpr uint32_t kKeyConnectAttempts = 0x40000;         // CONNECTATTEMPTS
constexpr uint32_t kKeyServerPort = 0x80000;              // SERVERPORT
constexpr uint32_t kKeyUnquoteCatalogFns = 0x100000;      // UNQUOTE_CATALOG_FNS
constexpr uint32_t kKeyMetadataIdIdentifiers = 0x200000;  // METADATA_ID_IDENTIFIERS
constexpr uint32_t kKeyDefaultParamSize = 0x400000;       // DEFAULTPARAMSIZE
constexpr uint32_t kKeyOverrideLength = 0x800000;         // OVERRIDELENGTH
constexpr uint32_t kKeyIgnoreStmtAttrs = 0x1000000;       // IGNORESTMTATTRS
constexpr uint32_t kKeyDecAsNumeric = 0x2000000;          // DECASNUMERIC
uint32_t attribute_presence_mask(const AttrList& list);
void retrieve_vek_flags(client_dbc* dbc);
int get_attrs_from_constr(client_dbc* dbc, uint32_t* mask, const AttrList& list);
// The logon password in the disguised form odbc.ini stores (upper-case
// hexadecimal), as a completed connection string gives it back under
// DISGUISEDLOGONAUTH; "" for an empty or too long one.
inline constexpr const char kDisguisedLogonAuth[] = "DISGUISEDLOGONAUTH";
std::string disguised_logon_auth(const std::string& plain);
// Turns a connection string's DISGUISEDLOGONAUTH into LOGONAUTH (unless that is
// given too) and removes it.
void reveal_disguised_logon_auth(AttrList& list);
int get_connect_attrs_from_dsn(client_dbc* dbc, uint32_t* mask, AttrList& list);
void parse_ignore_stmt_attrs(client_dbc* dbc, const std::string& text);

// ---- configuration (config.cpp) -------------------------------------------
constexpr const char* kConfigRoot = KY_CONFIGURATION_KEY;
// A value of the DSN's section of odbc.ini; the default when absent.
std::string read_dsn_value(const char* dsn, const char* key, const char* def = "");
// A client setting of section "Settings" of the configuration key.
std::string read_setting(const char* key, const char* def);
// A value of section "odbc" of odbc.ini (Trace, TraceFile).
std::string read_odbc_section(const char* key);

// ---- services (services.cpp) ------------------------------------------------
client_desc_rec* vekc_expand_desc_recs(client_desc* desc, int n);
void vekc_release_desc_recs(client_desc* desc, int count, int mode);
void retrieve_server_diags(client_dbc* dbc, int client_kind, void* client_rec, int16_t server_type,
                           uint64_t server_handle);
int send_cached_connect_attrs(client_dbc* dbc);
// Sends the driver-defined attributes set before connect; 1 when one failed.
int send_kept_driver_attrs(client_dbc* dbc);
void vek_setoption_allstmts(client_dbc* dbc, int option, SQLULEN value);
int implicit_descriptor_kind(client_desc* desc, int* kind);
client_dbc* choose_diag_connection(client_env* env);
// The state SQLError gives an ODBC 2 application for an ODBC 3 state (its
// first five characters), or null when the state stands unchanged.
const char* map_sqlstate_odbc2(const char* state);
int refuse_sqlserver_port(client_dbc* dbc, int port);

// ---- process-wide values (attributes.cpp) -----------------------------------
// SQL_ATTR_CONNECTION_POOLING: set with a null environment by any thread,
// read when a connection is made.
extern std::atomic<int32_t> g_connection_pooling;
// The trace switch as SQL_ATTR_TRACE with value 1 sets it.
void switch_trace_on();
// Keeps an ODBC 2 connection option in the connection's cache: its value (as
// 32 bits) and its set-mask bit. False for an option that is not cached.
bool cache_connect_option(client_dbc* dbc, int32_t option, SQLULEN value);

// ---- dialogs of the setup library (dialogs.cpp) -----------------------------
// Results: negative error, 0 cancelled, positive done; -1 when the setup
// library cannot be loaded.
int dialog_complete_info(void* hwnd, AttrList& list, uint32_t* mask);
int dialog_prompt_logon(int kind, char* user, char* password, int size);

}  // namespace kyvek::driver

#endif
