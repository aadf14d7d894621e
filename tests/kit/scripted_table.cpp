// The scripted procedure table. See scripted_table.h.
#include "scripted_table.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "procedure_list.h"

namespace kytest {
namespace {

template <class Row>
void unscripted(ArgumentDescriptor* args) {
  ::kyproc::server::serve<Row>(args, nullptr);
}

#define KY_SCRIPTED_ROW(name, ...) \
  {#name, &unscripted<::kyproc::rows::name>, KY_ROW_ARGS(::kyproc::rows::name), nullptr, 0, 0},
const FunctionDescriptor kRows[KY_PROCEDURE_COUNT + 1] = {
    KY_PROCEDURE_LIST(KY_SCRIPTED_ROW){nullptr, nullptr, {}, nullptr, 0, 0}};
#undef KY_SCRIPTED_ROW

}  // namespace

ScriptedTable::ScriptedTable() : rows_(kRows, kRows + KY_PROCEDURE_COUNT + 1) {}

void ScriptedTable::set(const char* name, RpcStubFn handler) {
  for (FunctionDescriptor& row : rows_) {
    if (row.name != nullptr && std::strcmp(row.name, name) == 0) {
      row.handler = handler;
      return;
    }
  }
  throw std::logic_error(std::string("no procedure ") + name);
}

}  // namespace kytest
