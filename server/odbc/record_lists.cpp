// Statement and descriptor lists of a connection and descriptor record arrays.
#include "record_lists.h"

#include <sqlext.h>

#include <cstdlib>
#include <cstring>

#include "handle_registry.h"
#include "odbc_trace.h"
#include "server_diag.h"

namespace {

using kyvek::odbc::kTraceDetail;
using kyvek::odbc::kTraceExit;
using kyvek::odbc::kTraceInternal;

// Non-null answer of a failed REMOVE when there is no record to answer with.
descriptor_t g_remove_failed_desc{};
statement_t g_remove_failed_stmt{};

bool is_explicit(const descriptor_t* d) { return d->owner == nullptr || d->alloc_type == DESC_ALLOC_USER; }

void free_descriptor_record(descriptor_t* d) {
  clear_errors(&d->diags);
  diag_free_lock(&d->diags);
  free(d->status_array);
  free(d->ext_status_array);
  free(d->rows_processed);
  veks_release_desc_recs(d, 0, RELEASE_ALL);
  memset(d->tag, 0, sizeof(d->tag));
  free(d);
}

bool unlink_descriptor(connection_t* dbc, descriptor_t* d) {
  for (descriptor_t** p = &dbc->first_desc; *p != nullptr; p = &(*p)->next) {
    if (*p == d) {
      *p = d->next;
      d->next = nullptr;
      return true;
    }
  }
  return false;
}

descriptor_t* remove_descriptor(connection_t* dbc, descriptor_t* d) {
  bool listed = false;
  for (descriptor_t* p = dbc->first_desc; p != nullptr; p = p->next) {
    if (p == d) listed = true;
  }
  if (!listed) {
    KY_TRACE(kTraceDetail, "\tAttempt to free a descriptor %p not in list\n", static_cast<void*>(d));
    return d != nullptr ? d : &g_remove_failed_desc;
  }
  if (!veks_tag_ok(VEKS_DESC, d)) {
    KY_TRACE(kTraceDetail, "\tAttempt to delete invalid descriptor %p\n", static_cast<void*>(d));
    return d;
  }
  unlink_descriptor(dbc, d);
  if (is_explicit(d)) {
    KY_TRACE(kTraceDetail, "\tExplicit descriptor - reverting to implicit one\n");
    for (statement_t* s = dbc->first_stmt; s != nullptr; s = s->next) {
      for (int slot = 0; slot < DESC_SLOTS; ++slot) {
        if (s->current_desc[slot] == d) {
          KY_TRACE(kTraceDetail, "\tFound (d)%p in (s)%p reverting to (d)%p\n", static_cast<void*>(d),
                   static_cast<void*>(s), static_cast<void*>(s->implicit_desc[slot]));
          s->current_desc[slot] = s->implicit_desc[slot];
        }
      }
    }
  } else if (d->owner != nullptr) {
    for (int slot = 0; slot < DESC_SLOTS; ++slot) {
      if (d->owner->implicit_desc[slot] == d) d->owner->implicit_desc[slot] = nullptr;
      if (d->owner->current_desc[slot] == d) d->owner->current_desc[slot] = nullptr;
    }
  }
  veks_registry_remove(dbc->registry, d);
  free_descriptor_record(d);
  return nullptr;
}

void link_descriptor(connection_t* dbc, descriptor_t* d) {
  d->next = dbc->first_desc;
  dbc->first_desc = d;
}

statement_t* create_statement(connection_t* dbc, SQLHSTMT driver_stmt) {
  if (driver_stmt == nullptr) return nullptr;
  statement_t* s = allocate_statement(dbc);
  if (s == nullptr) {
    veks_post(&dbc->diags, dbc, sqlstate::kHY001, 0);
    return nullptr;
  }
  s->driver_stmt = driver_stmt;
  s->handle_kind = 3;
  static const SQLINTEGER kAttrs[DESC_SLOTS] = {SQL_ATTR_APP_PARAM_DESC, SQL_ATTR_APP_ROW_DESC, SQL_ATTR_IMP_PARAM_DESC,
                                                SQL_ATTR_IMP_ROW_DESC};
  bool ok = veks_registry_add(dbc->registry, s, VEKS_STMT) == 0;
  for (int slot = 0; ok && slot < DESC_SLOTS; ++slot) {
    SQLHDESC h = nullptr;
    if (!SQL_SUCCEEDED(SQLGetStmtAttr(driver_stmt, kAttrs[slot], &h, SQL_IS_POINTER, nullptr))) {
      h = nullptr;
    }
    descriptor_t* d = allocate_descriptor(dbc, s, h);
    if (d == nullptr) {
      ok = false;
      break;
    }
    s->implicit_desc[slot] = s->current_desc[slot] = d;
    ok = veks_registry_add(dbc->registry, d, VEKS_DESC) == 0;
  }
  if (!ok) {
    for (int slot = 0; slot < DESC_SLOTS; ++slot) {
      if (s->implicit_desc[slot] != nullptr) {
        veks_registry_remove(dbc->registry, s->implicit_desc[slot]);
        free_descriptor_record(s->implicit_desc[slot]);
      }
    }
    veks_registry_remove(dbc->registry, s);
    free_statement_record(s);
    veks_post(&dbc->diags, dbc, sqlstate::kHY001, 0);
    KY_TRACE(kTraceExit | kTraceInternal, "\t-%s()=NULL (backing out)\n", "find_statement_in_list");
    return nullptr;
  }
  s->next = dbc->first_stmt;
  if (dbc->first_stmt != nullptr) dbc->first_stmt->prev = s;
  dbc->first_stmt = s;
  for (int slot = 0; slot < DESC_SLOTS; ++slot) link_descriptor(dbc, s->implicit_desc[slot]);
  s->need_data_source = 0;
  s->implicit_desc[DESC_APD]->bind_type = 0;
  s->implicit_desc[DESC_ARD]->bind_type = 0;
  return s;
}

statement_t* remove_statement(connection_t* dbc, statement_t* s) {
  clear_errors(&s->diags);
  free(s->saved_text);
  s->saved_text = nullptr;
  // Only the statement's own implicit descriptors go with it: an explicit
  // descriptor in use as its APD or ARD still belongs to the connection.
  for (int slot = 0; slot < DESC_SLOTS; ++slot) {
    descriptor_t* d = s->implicit_desc[slot];
    s->current_desc[slot] = nullptr;
    if (d == nullptr) continue;
    KY_TRACE(kTraceDetail, "\tDeleting descriptor %u (%p)\n", static_cast<unsigned>(slot), static_cast<void*>(d));
    if (remove_descriptor(dbc, d) != nullptr) {
      veks_post(&dbc->diags, dbc, sqlstate::kHY000.state, 6,
                "General error: find_statement_in_list() (Failed to remove descriptor %p)", static_cast<void*>(d));
      return s;
    }
    s->implicit_desc[slot] = nullptr;
  }
  if (s->prev != nullptr)
    s->prev->next = s->next;
  else
    dbc->first_stmt = s->next;
  if (s->next != nullptr) s->next->prev = s->prev;
  veks_registry_remove(dbc->registry, s);
  free_statement_record(s);
  return nullptr;
}

}  // namespace

extern "C" {

descriptor_t* allocate_descriptor(connection_t* dbc, statement_t* owner, SQLHDESC driver_desc) {
  auto* d = static_cast<descriptor_t*>(calloc(1, sizeof(descriptor_t)));
  if (d == nullptr) return nullptr;
  memcpy(d->tag, KY_TAG_DESC, sizeof(d->tag));
  d->driver_desc = driver_desc;
  d->dbc = dbc;
  d->owner = owner;
  d->alloc_type = owner != nullptr ? DESC_ALLOC_AUTO : DESC_ALLOC_USER;
  d->array_size = 1;
  d->ext_rowset_size = 1;
  return d;
}

descriptor_t* find_descriptor_in_list(connection_t* dbc, statement_t* owner, descriptor_t* desc, SQLHDESC driver_desc,
                                      int mode) {
  if (!veks_tag_ok(VEKS_DBC, dbc)) {
    KY_TRACE(kTraceExit | kTraceInternal, "\t-%s()=NULL (Invalid connection handle)\n", "find_descriptor_in_list");
    // REMOVE answers failure with a non-null value that is never a record.
    return mode == LIST_REMOVE ? (desc != nullptr ? desc : &g_remove_failed_desc) : nullptr;
  }
  switch (mode) {
    case LIST_FIND:
      for (descriptor_t* d = dbc->first_desc; d != nullptr; d = d->next) {
        if (d->driver_desc == driver_desc) return d;
      }
      return nullptr;
    case LIST_REMOVE: return remove_descriptor(dbc, desc);
    case LIST_CREATE: {
      for (descriptor_t* d = dbc->first_desc; desc != nullptr && d != nullptr; d = d->next) {
        if (d == desc) return d;
      }
      descriptor_t* d = allocate_descriptor(dbc, owner, driver_desc);
      if (d == nullptr) return nullptr;
      d->handle_kind = 4;
      if (veks_registry_add(dbc->registry, d, VEKS_DESC) != 0) {
        free_descriptor_record(d);
        return nullptr;
      }
      link_descriptor(dbc, d);
      return d;
    }
    default: return nullptr;
  }
}

statement_t* find_statement_in_list(connection_t* dbc, statement_t* stmt, SQLHSTMT driver_stmt, int mode) {
  if (!veks_tag_ok(VEKS_DBC, dbc)) {
    KY_TRACE(kTraceExit | kTraceInternal, "\t-%s()=NULL (Invalid connection handle)\n", "find_statement_in_list");
    return mode == LIST_REMOVE ? (stmt != nullptr ? stmt : &g_remove_failed_stmt) : nullptr;
  }
  switch (mode) {
    case LIST_FIND:
      for (statement_t* s = dbc->first_stmt; s != nullptr; s = s->next) {
        if (s->driver_stmt == driver_stmt) return s;
      }
      return nullptr;
    case LIST_REMOVE: {
      bool listed = false;
      for (statement_t* s = dbc->first_stmt; s != nullptr; s = s->next) {
        if (s == stmt) listed = true;
      }
      if (!listed || !veks_tag_ok(VEKS_STMT, stmt)) {
        return stmt != nullptr ? stmt : &g_remove_failed_stmt;
      }
      return remove_statement(dbc, stmt);
    }
    case LIST_CREATE:
      for (statement_t* s = dbc->first_stmt; stmt != nullptr && s != nullptr; s = s->next) {
        if (s == stmt) return s;
      }
      return create_statement(dbc, driver_stmt);
    default: return nullptr;
  }
}

descriptor_record_t* veks_expand_desc_recs(descriptor_t* desc, int32_t n) {
  if (desc == nullptr || n < 0 || n > VEKS_MAX_DESC_RECORD) return nullptr;
  const int32_t target = n + 1;
  if (target > desc->alloc_records) {
    auto* grown = static_cast<descriptor_record_t*>(
        realloc(desc->records, sizeof(descriptor_record_t) * static_cast<size_t>(target)));
    if (grown == nullptr) return nullptr;
    for (int32_t i = desc->alloc_records; i < target; ++i) {
      memset(&grown[i], 0, sizeof(descriptor_record_t));
      memcpy(grown[i].tag, KY_TAG_DESR, sizeof(grown[i].tag));
    }
    desc->records = grown;
    desc->alloc_records = target;
  }
  return &desc->records[n];
}

void veks_free_record_arrays(descriptor_record_t* rec) {
  if (rec == nullptr) return;
  if (rec->indicator != nullptr && rec->indicator != rec->octet_length_array) free(rec->indicator);
  free(rec->octet_length_array);
  free(rec->data);
  rec->indicator = nullptr;
  rec->octet_length_array = nullptr;
  rec->data = nullptr;
  rec->row_capacity = 0;
  rec->data_alloc_len = 0;
  rec->element_size = 0;
}

void veks_release_desc_recs(descriptor_t* desc, int32_t k, int mode) {
  if (desc == nullptr) return;
  int32_t lowest = mode == RELEASE_TRIM ? 1 : mode == RELEASE_ALL ? 0 : (k < -1 ? 0 : k + 1);
  int32_t i = desc->alloc_records - 1;
  for (; i >= lowest; --i) {
    descriptor_record_t* rec = &desc->records[i];
    const bool holds = rec->data != nullptr || rec->octet_length_array != nullptr || rec->indicator != nullptr;
    if (mode == RELEASE_TRIM) {
      if (holds) break;
      continue;
    }
    if (holds) KY_TRACE(kTraceDetail, "\tfreeing up descriptor record %d data\n", i);
    veks_free_record_arrays(rec);
  }
  if (i > VEKS_MAX_DESC_RECORD) i = VEKS_MAX_DESC_RECORD;
  desc->record_count = static_cast<int16_t>(i < 0 ? 0 : i);
  if (mode == RELEASE_ALL) {
    KY_TRACE(kTraceDetail, "\tdestroying all descriptor records\n");
    free(desc->records);
    desc->records = nullptr;
    desc->alloc_records = 0;
  }
}

int check_desc_assignable(statement_t* stmt, SQLINTEGER attribute, descriptor_t* desc) {
  int slot;
  if (attribute == SQL_ATTR_APP_ROW_DESC)
    slot = DESC_ARD;
  else if (attribute == SQL_ATTR_APP_PARAM_DESC)
    slot = DESC_APD;
  else
    return 1;
  if (stmt == nullptr || desc == nullptr) return 1;
  if (desc->owner == nullptr && desc->alloc_type == DESC_ALLOC_USER) {
    return desc->dbc == stmt->owner ? 0 : 1;
  }
  return desc->owner == stmt && stmt->current_desc[slot] == desc ? 0 : 1;
}

int count_desc_users(descriptor_t* desc, statement_t** first) {
  if (first != nullptr) *first = nullptr;
  if (desc == nullptr || desc->dbc == nullptr) return 0;
  int n = 0;
  for (statement_t* s = desc->dbc->first_stmt; s != nullptr; s = s->next) {
    for (int slot = 0; slot < DESC_SLOTS; ++slot) {
      if (s->implicit_desc[slot] != desc) continue;
      if (n++ == 0 && first != nullptr) *first = s;
    }
  }
  return n;
}

}  // extern "C"
