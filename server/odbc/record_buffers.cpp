// Server-owned data, length and status arrays bound on the driver in place of
// the client's memory, and the description of new result sets into the IRD.
//
// Arrays are replaced, never reallocated in place: a new array is made and
// filled, the driver is pointed at it, and only then is the old one freed. A
// failure at any step leaves the driver bound to the old, still live arrays.
#include "record_lists.h"

#include <sqlext.h>

#include <cstdlib>
#include <cstring>

#include "handle_alloc.h"
#include "odbc_trace.h"
#include "server_diag.h"
#include "sql_types.h"

namespace {

using kyvek::odbc::kTraceDetail;
using kyvek::odbc::kTraceExit;
using kyvek::odbc::kTraceInternal;

// bytes = count x size, checked against overflow and the array cap.
bool array_bytes(uint64_t count, uint64_t size, uint64_t* bytes) {
  if (size != 0 && count > VEKS_MAX_ARRAY_BYTES / size) return false;
  *bytes = count * size;
  return *bytes <= VEKS_MAX_ARRAY_BYTES;
}

// A zero-filled copy of old (old_bytes) grown to bytes; null without memory.
void* grow_copy(const void* old, uint64_t old_bytes, uint64_t bytes) {
  void* p = calloc(1, bytes != 0 ? bytes : 1);
  if (p != nullptr && old != nullptr) memcpy(p, old, old_bytes < bytes ? old_bytes : bytes);
  return p;
}

diag_header* post_target(statement_t* stmt, descriptor_t* desc) {
  return stmt != nullptr ? &stmt->diags : &desc->diags;
}

// New arrays for one record, made before anything is re-pointed.
struct NewArrays {
  void* data = nullptr;
  SQLLEN* octet = nullptr;
  SQLLEN* indicator = nullptr;  // a separate indicator array, or null
  uint64_t data_bytes = 0;
  uint64_t element_size = 0;

  void discard() {
    free(data);
    free(octet);
    free(indicator);
    *this = NewArrays{};
  }
};

SQLRETURN post_memory(statement_t* stmt, descriptor_t* desc, int32_t native) {
  veks_post(post_target(stmt, desc), desc->dbc, sqlstate::kHY001, native);
  return SQL_ERROR;
}

SQLRETURN make_arrays(statement_t* stmt, descriptor_t* desc, int32_t number, const descriptor_record_t* rec,
                      uint64_t rows, NewArrays* out) {
  if (rec->data != nullptr) {
    int64_t size = get_type_len(rec->concise_type, rec->octet_length, KY_TYPELEN_USE_OCTET);
    if (size < 1) {
      veks_post(post_target(stmt, desc), desc->dbc, sqlstate::kHY000.state, 400,
                "General error: Cannot determine length of datatype %d, OctetLength=%ld, column %d (%s)",
                rec->concise_type, static_cast<long>(rec->octet_length), number, "resize_buffers");
      return SQL_ERROR;
    }
    out->element_size = static_cast<uint64_t>(size);
    if (!array_bytes(rows, out->element_size, &out->data_bytes) ||
        (out->data = grow_copy(rec->data, rec->data_alloc_len, out->data_bytes)) == nullptr) {
      return post_memory(stmt, desc, 201);
    }
  }
  uint64_t len_bytes = 0;
  const uint64_t old_len_bytes = rec->row_capacity * sizeof(SQLLEN);
  if (!array_bytes(rows, sizeof(SQLLEN), &len_bytes)) return post_memory(stmt, desc, 202);
  if (rec->octet_length_array != nullptr) {
    out->octet = static_cast<SQLLEN*>(grow_copy(rec->octet_length_array, old_len_bytes, len_bytes));
    if (out->octet == nullptr) return post_memory(stmt, desc, 202);
  }
  if (rec->indicator != nullptr && rec->indicator != rec->octet_length_array) {
    out->indicator = static_cast<SQLLEN*>(grow_copy(rec->indicator, old_len_bytes, len_bytes));
    if (out->indicator == nullptr) return post_memory(stmt, desc, 203);
  }
  return SQL_SUCCESS;
}

SQLRETURN set_desc_ptr(descriptor_t* desc, int32_t number, SQLSMALLINT field, void* p) {
  return SQLSetDescField(desc->driver_desc, static_cast<SQLSMALLINT>(number), field, p, SQL_IS_POINTER);
}

// The indicator pointer the driver should use after the change.
SQLLEN* new_indicator(const descriptor_record_t* rec, const NewArrays& a) {
  if (rec->indicator == nullptr) return nullptr;
  return rec->indicator == rec->octet_length_array ? a.octet : a.indicator;
}

// Points the driver at the new arrays of one record.
SQLRETURN rebind(statement_t* stmt, descriptor_t* desc, int32_t number, const descriptor_record_t* rec,
                 const NewArrays& a) {
  SQLLEN* ind = new_indicator(rec, a);
  const bool implicit_ard = stmt != nullptr && desc == stmt->implicit_desc[DESC_ARD];
  const bool implicit_apd = stmt != nullptr && desc == stmt->implicit_desc[DESC_APD];
  SQLRETURN rc;
  if (implicit_ard) {
    rc = SQLBindCol(stmt->driver_stmt, static_cast<SQLUSMALLINT>(number), rec->concise_type, a.data, rec->octet_length,
                    a.octet);
  } else if (implicit_apd) {
    descriptor_t* ipd = stmt->current_desc[DESC_IPD];
    if (ipd == nullptr || number >= ipd->alloc_records) return SQL_ERROR;
    const descriptor_record_t* ip = &ipd->records[number];
    SQLULEN column_size =
        is_precision_type(ip->concise_type) ? static_cast<SQLULEN>(ip->precision) : static_cast<SQLULEN>(ip->length);
    SQLSMALLINT digits =
        (ip->concise_type == SQL_DECIMAL || ip->concise_type == SQL_NUMERIC) ? ip->scale : ip->precision;
    rc = SQLBindParameter(stmt->driver_stmt, static_cast<SQLUSMALLINT>(number), ip->parameter_type, rec->concise_type,
                          ip->concise_type, column_size, digits, a.data, rec->octet_length, a.octet);
  } else {
    // An explicit descriptor (or none of a statement): re-point its fields.
    rc = SQL_SUCCESS;
    if (a.data != nullptr) rc = set_desc_ptr(desc, number, SQL_DESC_DATA_PTR, a.data);
    if (SQL_SUCCEEDED(rc) && a.octet != nullptr) {
      rc = set_desc_ptr(desc, number, SQL_DESC_OCTET_LENGTH_PTR, a.octet);
    }
  }
  if (!SQL_SUCCEEDED(rc)) {
    KY_TRACE(kTraceExit | kTraceInternal, "\t-^%s()=SQL_ERROR (driver SQLBindCol or SQLBindParameter failed)\n",
             "resize_buffers");
    return rc;
  }
  // Binding points the indicator at the length array; a separate indicator is
  // set afterwards so NULL markers reach it.
  if (ind != nullptr && ind != a.octet) {
    rc = set_desc_ptr(desc, number, SQL_DESC_INDICATOR_PTR, ind);
  }
  return rc;
}

// Restores the driver's pointers to the record's current arrays after a failed rebind.
void restore(statement_t* stmt, descriptor_t* desc, int32_t number, const descriptor_record_t* rec) {
  NewArrays old;
  old.data = rec->data;
  old.octet = rec->octet_length_array;
  old.indicator = rec->indicator != rec->octet_length_array ? rec->indicator : nullptr;
  (void)rebind(stmt, desc, number, rec, old);
}

bool holds_arrays(const descriptor_record_t* r) {
  return r->data != nullptr || r->octet_length_array != nullptr || r->indicator != nullptr;
}

SQLRETURN register_status(statement_t* stmt, SQLINTEGER attribute, descriptor_t* desc, uint16_t* array) {
  if (stmt != nullptr) {
    return SQLSetStmtAttr(stmt->driver_stmt, attribute, array, SQL_IS_POINTER);
  }
  return SQLSetDescField(desc->driver_desc, 0, SQL_DESC_ARRAY_STATUS_PTR, array, SQL_IS_POINTER);
}

}  // namespace

extern "C" {

SQLRETURN resize_buffers(statement_t* stmt, descriptor_t* desc, uint64_t rows) {
  if (!veks_tag_ok(VEKS_DESC, desc)) {
    veks_post(stmt != nullptr ? &stmt->diags : nullptr, veks_stmt_dbc(stmt), sqlstate::kHY000.state, 5,
              "General error: Internal server error, invalid descriptor (%s)", "resize_buffers");
    return SQL_ERROR;
  }
  if (rows == 0) {
    veks_post(&desc->diags, desc->dbc, sqlstate::kHY000.state, 38,
              "General error: Resizing column/parameter buffers to zero size");
    return SQL_ERROR;
  }
  bool any = false;
  for (int32_t i = 0; i < desc->alloc_records; ++i) {
    if (!veks_tag_ok(VEKS_DESR, &desc->records[i])) {
      veks_post(post_target(stmt, desc), desc->dbc, sqlstate::kHY000.state, 5,
                "General error: Internal server error, invalid descriptor record %d (%s)", i, "resize_buffers");
      return SQL_ERROR;
    }
    any = any || holds_arrays(&desc->records[i]);
  }
  if (!any) {
    KY_TRACE(kTraceDetail, "\t\tno bound columns or parameters found\n");
    return SQL_SUCCESS;
  }
  for (int32_t i = 0; i < desc->alloc_records; ++i) {
    descriptor_record_t* rec = &desc->records[i];
    if (!holds_arrays(rec)) continue;
    if (rec->row_capacity >= rows) {
      KY_TRACE(kTraceDetail, "\t\tnot resizing downwards\n");
      continue;
    }
    NewArrays a;
    SQLRETURN rc = make_arrays(stmt, desc, i, rec, rows, &a);
    if (rc != SQL_SUCCESS) {
      a.discard();
      return rc;
    }
    rc = rebind(stmt, desc, i, rec, a);
    if (!SQL_SUCCEEDED(rc)) {
      restore(stmt, desc, i, rec);
      a.discard();
      if (stmt != nullptr) load_sql_diags(VEKS_STMT, stmt, SQL_HANDLE_STMT, stmt->driver_stmt);
      return rc == SQL_INVALID_HANDLE ? SQL_ERROR : rc;
    }
    // The driver now uses the new arrays; the old ones can go.
    const bool shared = rec->indicator != nullptr && rec->indicator == rec->octet_length_array;
    SQLLEN* ind = new_indicator(rec, a);
    veks_free_record_arrays(rec);
    rec->data = a.data;
    rec->octet_length_array = a.octet;
    rec->indicator = shared ? a.octet : ind;
    if (a.data != nullptr) {
      rec->data_alloc_len = a.data_bytes;
      rec->element_size = a.element_size;
    }
    rec->row_capacity = rows;
  }
  return SQL_SUCCESS;
}

SQLRETURN resize_status_array(uint64_t count, statement_t* stmt, SQLINTEGER attribute, descriptor_t* desc) {
  if (desc == nullptr) return SQL_ERROR;
  if ((veks_flags() & VEKS_FLAG_NO_STATUS_ARRAY_RESIZE) != 0 && desc->status_count >= count) {
    KY_TRACE(kTraceExit, "-%s=SQL_SUCCESS (not resizing down)(%p)\n", "resize_status_array", static_cast<void*>(desc));
    return SQL_SUCCESS;
  }
  uint64_t bytes = 0;
  uint16_t* array = nullptr;
  if (count != 0) {
    if (array_bytes(count, sizeof(uint16_t), &bytes)) {
      array = static_cast<uint16_t*>(grow_copy(desc->status_array, desc->status_count * sizeof(uint16_t), bytes));
    }
    if (array == nullptr) {
      diag_header* errp = post_target(stmt, desc);
      set_return_code(errp, SQL_ERROR);
      veks_post(errp, desc->dbc, sqlstate::kHY001, 0);
      return SQL_ERROR;
    }
  }
  SQLRETURN rc = register_status(stmt, attribute, desc, array);
  if (!SQL_SUCCEEDED(rc)) {
    // The driver still holds the old array: keep it.
    free(array);
    return rc;
  }
  free(desc->status_array);
  desc->status_array = array;
  desc->status_count = count;
  return SQL_SUCCESS;
}

namespace {

// The implementation descriptor's status array, then the application
// descriptor's operation array, each only where one is set.
SQLRETURN resize_status_and_operations(uint64_t count, statement_t* stmt, descriptor_t* impl, SQLINTEGER status_attr,
                                       descriptor_t* app, SQLINTEGER operation_attr) {
  if (impl != nullptr && impl->status_array != nullptr) {
    SQLRETURN rc = resize_status_array(count, stmt, status_attr, impl);
    if (!SQL_SUCCEEDED(rc)) return rc;
  }
  if (app != nullptr && app->status_array != nullptr) {
    return resize_status_array(count, stmt, operation_attr, app);
  }
  return SQL_SUCCESS;
}

}  // namespace

SQLRETURN resize_row_status_arrays(uint64_t count, statement_t* stmt, descriptor_t* ard, descriptor_t* ird) {
  return resize_status_and_operations(count, stmt, ird, SQL_ATTR_ROW_STATUS_PTR, ard, SQL_ATTR_ROW_OPERATION_PTR);
}

SQLRETURN resize_parameter_status_array(uint64_t count, statement_t* stmt, descriptor_t* apd, descriptor_t* ipd) {
  return resize_status_and_operations(count, stmt, ipd, SQL_ATTR_PARAM_STATUS_PTR, apd, SQL_ATTR_PARAM_OPERATION_PTR);
}

SQLRETURN veks_new_result_set(statement_t* stmt, SQLRETURN driver_result) {
  if (driver_result == SQL_SUCCESS_WITH_INFO) {
    load_sql_diags(VEKS_STMT, stmt, SQL_HANDLE_STMT, stmt->driver_stmt);
  }
  if (stmt->flags & STMT_DESCRIBED) return SQL_SUCCESS;
  SQLSMALLINT count = 0;
  SQLRETURN rc;
  do {
    rc = SQLNumResultCols(stmt->driver_stmt, &count);
  } while (rc == SQL_STILL_EXECUTING);
  if (!SQL_SUCCEEDED(rc)) return rc;
  if (count < 0) return SQL_ERROR;
  stmt->result_columns = count;
  descriptor_t* ird = stmt->implicit_desc[DESC_IRD];
  if (ird == nullptr) return SQL_ERROR;
  if (count >= ird->alloc_records && veks_expand_desc_recs(ird, count) == nullptr) {
    veks_post(&stmt->diags, veks_stmt_dbc(stmt), sqlstate::kHY001, 0);
    return SQL_ERROR;
  }
  for (SQLSMALLINT col = 1; col <= count; ++col) {
    descriptor_record_t* rec = &ird->records[col];
    SQLSMALLINT name_len = 0, sqltype = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    memset(rec->name, 0, sizeof(rec->name));
    rc = SQLDescribeCol(stmt->driver_stmt, col, reinterpret_cast<SQLCHAR*>(rec->name), sizeof(rec->name), &name_len,
                        &sqltype, &size, &digits, &nullable);
    if (!SQL_SUCCEEDED(rc)) return rc;
    rec->name[sizeof(rec->name) - 1] = '\0';
    rec->name_length = name_len;
    rec->concise_type = sqltype;
    rec->type = is_datetime_type(sqltype) ? SQL_DATETIME : is_interval_type(sqltype) ? SQL_INTERVAL : sqltype;
    rec->octet_length = size > static_cast<SQLULEN>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(size);
    rec->scale = digits;
    rec->nullable = nullable;
    if (sqltype2ctype(sqltype, &rec->default_ctype) != 0) return SQL_ERROR;
    KY_TRACE(kTraceDetail, "\t(server) column=%d name(len=%d)=%s type=%d size=%lu\n", col, name_len,
             name_len > 0 ? rec->name : "<zero length>", sqltype, static_cast<unsigned long>(size));
  }
  ird->record_count = count;
  // Described only once the whole set is in the IRD.
  stmt->flags |= STMT_DESCRIBED;
  return SQL_SUCCESS;
}

}  // extern "C"
