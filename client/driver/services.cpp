// Connection-level services shared by the driver's units: descriptor record
// arrays, server diagnostics, cached connection attributes, option spreading
// and small look-ups.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "driver.h"
#include "kyrpc.h"
#include "remote.h"
#include "trace.h"

namespace kyvek::driver {

client_desc_rec* vekc_expand_desc_recs(client_desc* desc, int n) {
  if (vekc_chk_handle(kDesc, desc)) {
    TRACE(kTraceExit, "\t-vekc_expand_desc_recs()=NULL (invalid descriptor)\n");
    return nullptr;
  }
  if (n < 0 || n + 1 > INT16_MAX) return nullptr;
  if (desc->n_descrec < n + 1) {
    TRACE(kTraceDetail, "\tExpanding %p, n_descrec=%d, expanding to %d\n", static_cast<void*>(desc), desc->n_descrec,
          n + 1);
    auto* grown = static_cast<client_desc_rec*>(
        std::realloc(desc->records, sizeof(client_desc_rec) * static_cast<size_t>(n + 1)));
    if (!grown) {
      TRACE(kTraceInternal | kTraceExit, "-^vekc_expand_desc_recs()=NULL (realloc for %d failed)\n", n + 1);
      return nullptr;
    }
    for (int i = desc->n_descrec; i <= n; ++i) {
      std::memset(&grown[i], 0, sizeof grown[i]);
      std::memcpy(grown[i].tag, "DESR", 4);
    }
    desc->records = grown;
    desc->n_descrec = static_cast<int16_t>(n + 1);
  }
  return &desc->records[n];
}

namespace {
void release_rec(client_desc_rec* r) {
  std::free(r->name);
  std::free(r->label);
  for (int i = 0; i < 3; ++i) {
    std::free(r->transfer[i]);
    r->transfer[i] = nullptr;
    r->transfer_cap[i] = 0;
  }
  r->name = r->label = nullptr;
  r->data_ptr = nullptr;
  r->octet_length_ptr = nullptr;
  r->indicator_ptr = nullptr;
}
}  // namespace

void vekc_release_desc_recs(client_desc* desc, int count, int mode) {
  if (!desc) return;
  int lowest = mode == 0 ? 1 : mode == 2 ? count + 1 : 0;
  // The highest record left in place once the walk ends.
  int stopped = desc->n_descrec > 0 ? std::min(lowest - 1, desc->n_descrec - 1) : 0;
  for (int i = desc->n_descrec - 1; i >= lowest && i >= 0; --i) {
    client_desc_rec* r = &desc->records[i];
    if (mode == 0 && (r->data_ptr || r->octet_length_ptr || r->indicator_ptr)) {
      stopped = i;
      break;
    }
    release_rec(r);
  }
  desc->bound_count = static_cast<int16_t>(stopped < 0 ? 0 : stopped);
  if (mode == 1) {
    std::free(desc->records);
    desc->records = nullptr;
    desc->n_descrec = 0;
    desc->bound_count = 0;
  }
}

void retrieve_server_diags(client_dbc* dbc, int client_kind, void* client_rec, int16_t server_type,
                           uint64_t server_handle) {
  diag_header* hdr = nullptr;
  switch (client_kind) {
    case 1: hdr = client_rec ? &static_cast<client_env*>(client_rec)->diag : nullptr; break;
    case 2: hdr = client_rec ? &static_cast<client_dbc*>(client_rec)->diag : nullptr; break;
    case 3: hdr = client_rec ? &static_cast<client_stmt*>(client_rec)->diags : nullptr; break;
    case 4:
    case kDesc: hdr = client_rec ? &static_cast<client_desc*>(client_rec)->diag : nullptr; break;
    default: TRACE(kTraceDiag, "\tretrieve_server_diags: default hit - unrecognised handle\n"); return;
  }
  if (!hdr || !dbc || !dbc->rpc || dbc->dead || !server_handle) return;
  void* sh = reinterpret_cast<void*>(server_handle);
  int32_t count = 0;
  int rc = remote_sql_get_diag_field_integer(dbc->rpc, server_type, sh, 0, SQL_DIAG_NUMBER, &count);
  if (!rc_ok(rc)) {
    TRACE(kTraceDiag, "remote SQLGetDiagField(SQL_DIAG_NUMBER)=%d\n", rc);
    return;
  }
  TRACE(kTraceDiag, "\t%ld diags found in server\n", static_cast<long>(count));
  for (int32_t i = 1; i <= count && i <= INT16_MAX; ++i) {
    char state[6] = {};
    int32_t native = 0;
    int16_t text_len = 0;
    // A text longer than the first buffer is read again whole.
    std::vector<char> msg(1024, '\0');
    for (int pass = 0; pass < 2; ++pass) {
      int32_t msg_len = static_cast<int32_t>(msg.size());
      rc = remote_sql_get_diag_rec(dbc->rpc, server_type, sh, static_cast<int16_t>(i), state, &native, &msg_len,
                                   msg.data(), static_cast<int16_t>(msg.size()), &text_len);
      if (!rc_ok(rc) || text_len < static_cast<int16_t>(msg.size())) break;
      // The lengths are SQLSMALLINTs: 32,766 characters is the most there is.
      msg.assign(std::min<size_t>(static_cast<size_t>(text_len) + 1, INT16_MAX), '\0');
    }
    if (!rc_ok(rc)) break;  // the server has no more to give
    state[5] = '\0';
    msg.back() = '\0';
    post_error(hdr, VENDOR_NONE, CLASS_ISO, 0, nullptr, dbc->dsn_name, native, 0, "ISO 9075", state, "%s", msg.data());
    // The server's text already carries its vendor prefixes: keep it as sent,
    // without the empty "[]" that posting would put before it.
    if (hdr->record_count > 0) {
      auto* rec = const_cast<error_record*>(diag_record(hdr, hdr->record_count));
      if (char* copy = rec ? strdup(msg.data()) : nullptr) {
        std::free(rec->message_text);
        rec->message_text = copy;
      }
    }
  }
  // The records now live here: the server's copy is not listed again after
  // them (it stays there until the next call on the handle clears it).
  hdr->flags |= kDiagServerTaken;
}

int send_cached_connect_attrs(client_dbc* dbc) {
  struct Row {
    uint32_t bit;
    int32_t attr;
    const char* name;
    int32_t client_dbc::*value;
  };
  static constexpr Row kNumeric[] = {
      {kCaAccessMode, SQL_ATTR_ACCESS_MODE, "ACCESS_MODE", &client_dbc::access_mode},
      {kCaAsyncEnable, SQL_ATTR_ASYNC_ENABLE, "ASYNC_ENABLE", &client_dbc::async_enable},
      {kCaAutocommit, SQL_ATTR_AUTOCOMMIT, "AUTOCOMMIT", &client_dbc::autocommit},
      {kCaConnectionTimeout, SQL_ATTR_CONNECTION_TIMEOUT, "CONNECTION_TIMEOUT", &client_dbc::connection_timeout},
  };
  static constexpr Row kNumeric2[] = {
      {kCaLoginTimeout, SQL_ATTR_LOGIN_TIMEOUT, "LOGIN_TIMEOUT", &client_dbc::login_timeout},
      {kCaMetadataId, SQL_ATTR_METADATA_ID, "METADATA_ID", &client_dbc::metadata_id},
      {kCaOdbcCursors, SQL_ATTR_ODBC_CURSORS, "ODBC_CURSORS", &client_dbc::odbc_cursors},
      {kCaPacketSize, SQL_ATTR_PACKET_SIZE, "PACKET_SIZE", &client_dbc::packet_size},
  };
  static constexpr Row kNumeric3[] = {
      {kCaTxnIsolation, SQL_ATTR_TXN_ISOLATION, "TXN_ISOLATION", &client_dbc::txn_isolation},
      {kCaAnsiApp, 115, "ANSI_APP", &client_dbc::ansi_app},
      {kCa1224, 1224, "1224", &client_dbc::attr_1224},
  };
  void* sd = reinterpret_cast<void*>(dbc->server_dbc);
  bool failed = false;
  auto send_numeric = [&](const Row& r) {
    if (!(dbc->attr_set_mask & r.bit)) return;
    int rc = remote_sql_set_connect_attr_long(dbc->rpc, sd, r.attr, dbc->*r.value, SQL_IS_INTEGER);
    if (!rc_ok(rc)) {
      TRACE(kTraceDiag, "\t\tSetting %s to %lu failed with %d\n", r.name, static_cast<unsigned long>(dbc->*r.value),
            rc);
      failed = true;
    }
  };
  for (const Row& r : kNumeric) send_numeric(r);
  if ((dbc->attr_set_mask & kCaCurrentCatalog) && dbc->current_catalog) {
    int rc = remote_sql_set_connect_attr_strbin(dbc->rpc, sd, SQL_ATTR_CURRENT_CATALOG,
                                                static_cast<int32_t>(dbc->current_catalog->size() + 1),
                                                dbc->current_catalog->c_str(), SQL_NTS);
    if (!rc_ok(rc)) {
      TRACE(kTraceDiag, "\t\tSetting CURRENT_CATALOG to %s failed with %d\n", dbc->current_catalog->c_str(), rc);
      failed = true;
    }
  }
  for (const Row& r : kNumeric2) send_numeric(r);
  if (dbc->attr_set_mask & kCaQuietMode) {
    int rc = remote_sql_set_connect_attr_ptr(dbc->rpc, sd, SQL_ATTR_QUIET_MODE, dbc->quiet_mode, SQL_IS_POINTER);
    if (!rc_ok(rc)) {
      TRACE(kTraceDiag, "\t\tSetting QUIET_MODE to %p failed with %d\n", dbc->quiet_mode, rc);
      failed = true;
    }
  }
  for (const Row& r : kNumeric3) send_numeric(r);
  if (send_kept_driver_attrs(dbc) != 0) failed = true;
  if (!failed) return 0;
  TRACE(kTraceDiag, "Some cached connection attributes were not set successfully\n");
  if (RPCFuncExists(dbc->rpc, "sql_error")) {
    // Empty the server's error queue for this connection.
    for (int guard = 0; guard < 1000; ++guard) {
      char state[6];
      int32_t state_len = sizeof state, native = 0, msg_len = 512;
      char msg[513];
      int16_t len = 0;
      int rc = remote_sql_error(dbc->rpc, nullptr, sd, nullptr, &state_len, state, &native, &msg_len, msg, 512, &len);
      if (rc >= 2 || rc < 0) break;
    }
  }
  post_client(&dbc->diag, dbc, 0, sqlstate::kIM006, true);
  return 1;
}

void vek_setoption_allstmts(client_dbc* dbc, int option, SQLULEN value) {
  if (option < 0 || option > 12 || option == 4) return;
  std::lock_guard<std::recursive_mutex> g(dbc->lock);
  for (client_stmt* s = dbc->statements; s; s = s->next) {
    s->options[option] = value;
    auto* ard = s->current_desc[DESC_ARD];
    if (option == SQL_ROWSET_SIZE && ard) ard->rowset_size = value;
  }
}

int implicit_descriptor_kind(client_desc* desc, int* kind) {
  if (vekc_chk_handle(kDesc, desc) || vekc_chk_handle(kDbc, desc->dbc)) return -1;
  client_dbc* dbc = desc->dbc;
  std::lock_guard<std::recursive_mutex> g(dbc->lock);
  for (client_stmt* s = dbc->statements; s; s = s->next) {
    if (vekc_chk_handle(kStmt, s)) return -1;
    for (int i = 0; i < DESC_SLOTS; ++i)
      if (s->implicit_desc[i] == desc) {
        if (kind) *kind = i;
        return 1;
      }
  }
  return 0;
}

client_dbc* choose_diag_connection(client_env* env) {
  // Prefer a connection whose server environment holds records, then one whose
  // last result was not a success, then the first one that answered at all.
  struct Note {
    client_dbc* dbc;
    int32_t count;
    int16_t rc;
  };
  std::vector<Note> notes;
  {
    std::lock_guard<std::recursive_mutex> g(env->lock);
    for (client_dbc* d = env->connections; d; d = d->next) {
      if (!d->rpc || d->dead || !d->server_env) continue;
      void* se = reinterpret_cast<void*>(d->server_env);
      int32_t count = 0;
      int16_t rc = 0;
      if (!rc_ok(remote_sql_get_diag_field_integer(d->rpc, SQL_HANDLE_ENV, se, 0, SQL_DIAG_NUMBER, &count))) continue;
      if (!rc_ok(remote_sql_get_diag_field_smallint(d->rpc, SQL_HANDLE_ENV, se, 0, SQL_DIAG_RETURNCODE, &rc))) continue;
      notes.push_back({d, count, rc});
    }
  }
  for (const Note& n : notes)
    if (n.count > 0) return n.dbc;
  for (const Note& n : notes)
    if (n.rc != SQL_SUCCESS) return n.dbc;
  return notes.empty() ? nullptr : notes.front().dbc;
}

const char* map_sqlstate_odbc2(const char* state) {
  if (!state) return nullptr;
  const std::string_view v3(state, strnlen(state, 5));
  // The one answer that differs from the support library's translation: the
  // driver's SQLError gives HY092 as S1009, the ODBC 2 code of an invalid
  // argument value, where the table's ODBC 2 form is S1092.
  if (v3 == sqlstate::kHY092.state) return sqlstate::kHY009.odbc2;
  return sqlstate::odbc2_of(v3);
}

int refuse_sqlserver_port(client_dbc* dbc, int port) {
  if (port != 1433) return 0;
  post_client(&dbc->diag, dbc, 41, sqlstate::kHY000.state, false,
              "general error: Port 1433 is SQLServer. The VEK client should be given the port the "
              "VEK Server is listening on (normally 8888).");
  return -1;
}

}  // namespace kyvek::driver
