// The server's table of remote procedures, derived from procedure_list.h, and
// the stubs it binds. The worker of each connection hands the table to
// RPCExport; RPCRun calls stub_<name> with the call's argument vector.
#pragma once

#include "kyrpc.h"
#include "procedure_list.h"

extern "C" {
// 147 rows in table order, then a row with a null name. Argument entries carry
// their flags word only (kind bit and direction); the result is the last one.
extern const FunctionDescriptor server_procedure_table[KY_PROCEDURE_COUNT + 1];

#define KY_STUB_DECL(name, ...) void stub_##name(ArgumentDescriptor* args);
KY_PROCEDURE_LIST(KY_STUB_DECL)
#undef KY_STUB_DECL
}
