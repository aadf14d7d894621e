// A procedure table for scripted servers: the server's rows in table order,
// each answering -1 with every out argument zero, except the rows a test gives
// a handler of its own. Built from the procedure list alone, so a test links
// none of the server's handlers.
#pragma once

#include <vector>

#include "kyrpc.h"
#include "server_stub.h"

namespace kytest {

class ScriptedTable {
 public:
  ScriptedTable();

  // Serves Row through the server's stub machinery with Handler.
  template <class Row, ::kyproc::HandlerFn<Row>* Handler>
  ScriptedTable& script() {
    set(Row::name, &stub<Row, Handler>);
    return *this;
  }

  // The table, ended by a row without a name; valid while this object lives.
  FunctionDescriptor* get() { return rows_.data(); }

 private:
  template <class Row, ::kyproc::HandlerFn<Row>* Handler>
  static void stub(ArgumentDescriptor* args) {
    ::kyproc::server::serve<Row>(args, Handler);
  }
  void set(const char* name, RpcStubFn handler);

  std::vector<FunctionDescriptor> rows_;
};

}  // namespace kytest
