// The statement record constructor shared by the server and the client driver.
#include "statement_record.h"

#include <cstdlib>
#include <cstring>

extern "C" {

statement_t* allocate_statement(void* owner) {
  auto* stmt = static_cast<statement_t*>(calloc(1, sizeof(statement_t)));
  if (stmt == nullptr) return nullptr;
  memcpy(stmt->tag, KY_TAG_STMT, sizeof(stmt->tag));
  stmt->owner = owner;
  stmt->handle_kind = 3;
  return stmt;
}

void free_statement_record(statement_t* stmt) {
  if (stmt == nullptr) return;
  memset(stmt->tag, 0, sizeof(stmt->tag));
  clear_errors(&stmt->diags);
  diag_free_lock(&stmt->diags);
  free(stmt->saved_text);
  free(stmt->bookmark_buf);
  free(stmt);
}

}  // extern "C"
