// Cursor names. The lists of all connections share numbered lock 2; the
// lock is held across the check for a name and its registration, so two
// threads can never give one connection the same name.
#include <cstdio>
#include <cstring>

#include "ky_cursor.h"
#include "ky_diag.h"
#include "ky_lock.h"
#include "lock_internal.h"
#include "sqlstate.h"

namespace {

void refuse(ky_stmt* stmt, const kyvek::sqlstate::Row& state) {
  if (!stmt->head.errors) return;
  SetReturnCode(stmt->head.errors, -1);
  PostError(stmt->head.errors, KY_ORIGIN_ISO, 0, nullptr, 0, 0, "ISO 9075", state.state, "%s", state.text);
}

// The statement bearing name among stmt's connection, or null.
ky_stmt* find(ky_dbc* dbc, const char* name) {
  if (!dbc || !name) return nullptr;
  for (ListNode* n = ListFirst(dbc->cursors); n; n = ListNext(n)) {
    auto* s = static_cast<ky_stmt*>(ListData(n));
    if (s && std::strcmp(s->cursor_name, name) == 0) return s;
  }
  return nullptr;
}

ListNode* slot_of(ky_dbc* dbc, const ky_stmt* stmt) {
  for (ListNode* n = ListFirst(dbc->cursors); n; n = ListNext(n)) {
    if (ListData(n) == stmt) return n;
  }
  return nullptr;
}

// Registers stmt in a free slot or a new one; false when memory runs out.
bool enlist(ky_dbc* dbc, ky_stmt* stmt) {
  if (slot_of(dbc, stmt)) return true;
  for (ListNode* n = ListFirst(dbc->cursors); n; n = ListNext(n)) {
    if (!ListData(n)) {
      ListRewrite(n, stmt);
      return true;
    }
  }
  List* list = ListAppend(stmt, dbc->cursors, dbc->head.pool);
  if (!list) return false;
  dbc->cursors = list;
  return true;
}

// Gives stmt the name; the caller holds the lock and has checked it.
int assign(ky_stmt* stmt, const char* name) {
  if (!enlist(stmt->dbc, stmt)) {
    refuse(stmt, sqlstate::kHY001);
    return -1;
  }
  std::strcpy(stmt->cursor_name, name);
  return 0;
}

}  // namespace

extern "C" {

KY_API ky_stmt* get_stmt_by_cursor(ky_stmt* stmt, const char* name) {
  if (!stmt) return nullptr;
  ky::NumberedLock lock(KY_LOCK_CURSOR);
  return find(stmt->dbc, name);
}

KY_API int insert_cursor_name(ky_stmt* stmt, const char* name) {
  if (!stmt || !stmt->dbc) return -1;
  if (!name || !*name || std::strlen(name) > KY_CURSOR_NAME_MAX) {
    refuse(stmt, sqlstate::k34000);
    return -1;
  }
  ky::NumberedLock lock(KY_LOCK_CURSOR);
  ky_stmt* holder = find(stmt->dbc, name);
  if (holder == stmt) return 0;
  if (holder) {
    refuse(stmt, sqlstate::k3C000);
    return -1;
  }
  return assign(stmt, name);
}

KY_API ky_stmt* remove_cursor_name(ky_stmt* stmt, const char* name) {
  if (!stmt || !stmt->dbc) return nullptr;
  ky::NumberedLock lock(KY_LOCK_CURSOR);
  ky_stmt* holder = find(stmt->dbc, name);
  if (!holder) return nullptr;
  holder->cursor_name[0] = '\0';
  if (ListNode* n = slot_of(stmt->dbc, holder)) ListRewrite(n, nullptr);
  return holder;
}

KY_API int generate_cursor_name(ky_stmt* stmt) {
  if (!stmt || !stmt->dbc) return -1;
  ky::NumberedLock lock(KY_LOCK_CURSOR);
  ky_dbc* dbc = stmt->dbc;
  // At most one name per listed statement can be taken, so this ends.
  for (;;) {
    char name[32];
    std::snprintf(name, sizeof name, "SQL_CUR%08x", static_cast<unsigned>(dbc->cursor_counter++));
    ky_stmt* holder = find(dbc, name);
    if (holder == stmt) return 0;
    if (!holder) return assign(stmt, name);
  }
}

KY_API const char* get_cursor_name(ky_stmt* stmt) {
  if (!stmt) return "";
  ky::NumberedLock lock(KY_LOCK_CURSOR);
  return stmt->cursor_name;
}

}  // extern "C"
