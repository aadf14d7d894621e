/* The store file: cached reads and locked, atomic rewrites. */
#ifndef KYVEK_PLATFORM_REGISTRY_STORE_H
#define KYVEK_PLATFORM_REGISTRY_STORE_H

#include <functional>
#include <memory>
#include <string>

#include "registry/registry_format.h"

namespace kyvek::registry {

// The current contents of the store at path. A missing file is an empty store.
// The parse is shared while the file's bytes stay the same.
Status load_document(const std::string& path, std::shared_ptr<const Document>* out);

// Runs change on a fresh copy of the store under the store's exclusive lock and,
// when it succeeds, replaces the file with the result (temporary file, fsync,
// rename). A store with unreadable lines is not rewritten (EINVAL).
Status modify_document(const std::string& path, const std::function<Status(Document&)>& change);

// "<text of code> (<what>)".
std::string error_text(int code, const std::string& what);

}  // namespace kyvek::registry

#endif
