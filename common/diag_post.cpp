// Diagnostic posting: the per-handle record list shared by the server and the
// client driver (see diag_post.h).
#include "diag_post.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "odbc_trace.h"

namespace {

using kyvek::odbc::kTraceExit;
using kyvek::odbc::kTraceInternal;

std::recursive_mutex* lock_of(const diag_header* errp) { return static_cast<std::recursive_mutex*>(errp->lock); }

class ListGuard {
 public:
  explicit ListGuard(diag_header* errp) : errp_(errp) { diag_lock(errp_); }
  ~ListGuard() { diag_unlock(errp_); }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;

 private:
  diag_header* errp_;
};

void free_record(error_record* rec) {
  free(rec->class_origin);
  free(rec->connection_name);
  free(rec->message_text);
  free(rec->server_name);
  free(rec->sqlstate);
  free(rec->subclass_origin);
  free(rec);
}

// strdup that reports which field failed; null text stays null.
bool copy_text(char** field, const char* text, const char* name) {
  if (text == nullptr) return true;
  *field = strdup(text);
  if (*field != nullptr) return true;
  KY_TRACE(kTraceExit | kTraceInternal, "\t-^post_error() (strdup(%s) failed)\n", name);
  return false;
}

// "[vendor]" then the expanded message, whole: a record's text is never cut
// here (readers cut it to their buffers and say so). The vendor text is
// taken literally. Null without memory.
char* bracketed_text(const char* vendor, const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int body = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  const size_t head = strlen(vendor) + 2;
  const size_t size = head + static_cast<size_t>(body > 0 ? body : 0) + 1;
  auto* text = static_cast<char*>(malloc(size));
  if (text == nullptr) return nullptr;
  snprintf(text, size, "[%s]", vendor);
  if (body > 0) vsnprintf(text + head, size - head, format, args);
  return text;
}

const char* class_text(int class_kind) {
  switch (class_kind) {
    case CLASS_ISO: return "ISO 9075";
    case CLASS_ODBC3: return "ODBC 3.0";
    case CLASS_ODBC2: return "ODBC 2.0";
    default: return "UNKNOWN";
  }
}

}  // namespace

extern "C" {

const char* diag_vendor_text(uint32_t vendor_flags) {
  if (vendor_flags & VENDOR_NONE) return "";
  if (vendor_flags & VENDOR_CLIENT) return "Kyronde ODBC (Client)";
  if (vendor_flags & VENDOR_SERVER) return "Kyronde ODBC (Server)";
  if (vendor_flags & VENDOR_COMMON) return "Kyronde ODBC (Common)";
  return "Kyronde ODBC";
}

void post_error(diag_header* errp, uint32_t vendor_flags, int class_kind, int32_t column_number,
                const char* connection_name, const char* server_name, int32_t native_error, int64_t row_number,
                const char* subclass_origin, const char* sqlstate, const char* message_format, ...) {
  KY_TRACE(kyvek::odbc::kTraceEntry | kTraceInternal, "\t^post_error(%p,%lu,%d,%ld,%p,%p,%ld,%ld,%p,%p,%p)\n",
           static_cast<void*>(errp), static_cast<unsigned long>(vendor_flags), class_kind,
           static_cast<long>(column_number), static_cast<const void*>(connection_name),
           static_cast<const void*>(server_name), static_cast<long>(native_error), static_cast<long>(row_number),
           static_cast<const void*>(subclass_origin), static_cast<const void*>(sqlstate),
           static_cast<const void*>(message_format));
  if (errp == nullptr) {
    KY_TRACE(kTraceExit | kTraceInternal, "\t-^post_error() (NULL errp)\n");
    return;
  }

  // The record is filled completely before it is linked, so a failed copy
  // leaves the list exactly as it was (never a linked but uncounted record).
  auto* rec = static_cast<error_record*>(calloc(1, sizeof(error_record)));
  if (rec == nullptr) {
    KY_TRACE(kTraceExit | kTraceInternal, "\t-^post_error() (failed alloc for error_record allocating %d bytes)\n",
             static_cast<int>(sizeof(error_record)));
    return;
  }
  const char* vendor = connection_name != nullptr ? connection_name : diag_vendor_text(vendor_flags);
  bool ok = copy_text(&rec->class_origin, class_text(class_kind), "class_origin") &&
            copy_text(&rec->connection_name, vendor, "connection_name") &&
            copy_text(&rec->server_name, server_name != nullptr ? server_name : "", "server_name") &&
            copy_text(&rec->subclass_origin, subclass_origin, "subclass_origin") &&
            copy_text(&rec->sqlstate, sqlstate, "sqlstate");
  rec->column_number = column_number;
  rec->native_error = native_error;
  rec->row_number = row_number;
  if (ok && message_format != nullptr) {
    va_list args;
    va_start(args, message_format);
    rec->message_text = bracketed_text(vendor, message_format, args);
    va_end(args);
    ok = rec->message_text != nullptr;
    if (!ok) KY_TRACE(kTraceExit | kTraceInternal, "\t-^post_error() (no memory for message_text)\n");
  }
  if (!ok) {
    free_record(rec);
    return;
  }

  ListGuard guard(errp);
  error_record** tail = &errp->first;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = rec;
  errp->record_count++;
  KY_TRACE(kTraceExit | kTraceInternal, "\t-^post_error()\n");
}

int16_t set_return_code(diag_header* errp, int16_t rc) {
  if (errp == nullptr) return 0;
  ListGuard guard(errp);
  errp->return_code = rc;
  errp->flags |= DIAG_RC_RECORDED;
  return rc;
}

void clear_errors(diag_header* errp) {
  if (errp == nullptr) return;
  ListGuard guard(errp);
  error_record* rec = errp->first;
  while (rec != nullptr) {
    error_record* next = rec->next;
    free_record(rec);
    rec = next;
  }
  errp->first = nullptr;
  errp->flags = 0;
  errp->record_count = 0;
}

const error_record* diag_record(const diag_header* errp, int32_t number) {
  if (errp == nullptr || number < 1) return nullptr;
  const error_record* rec = errp->first;
  for (int32_t i = 1; rec != nullptr && i < number; ++i) rec = rec->next;
  return rec;
}

int diag_make_shared(diag_header* errp) {
  if (errp == nullptr) return -1;
  if (errp->lock != nullptr) return 0;
  errp->lock = new (std::nothrow) std::recursive_mutex;
  return errp->lock != nullptr ? 0 : -1;
}

void diag_free_lock(diag_header* errp) {
  if (errp == nullptr) return;
  delete lock_of(errp);
  errp->lock = nullptr;
}

void diag_lock(diag_header* errp) {
  if (errp != nullptr && errp->lock != nullptr) lock_of(errp)->lock();
}

void diag_unlock(diag_header* errp) {
  if (errp != nullptr && errp->lock != nullptr) lock_of(errp)->unlock();
}

}  // extern "C"
