/* Keys and values of the store (see registry.h). */
#include "registry/registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "registry/registry_store.h"

namespace kyvek::registry {
namespace {

Status missing_key(const std::string& full, const std::string& store) {
  return Status::Error(ENOENT, error_text(ENOENT, "registry key " + full + " in " + store));
}

Status missing_value(std::string_view name, const std::string& full) {
  return Status::Error(ENOENT, error_text(ENOENT, "value \"" + std::string(name) + "\" of registry key " + full));
}

Status bad_path(std::string_view path) {
  return Status::Error(EINVAL, error_text(EINVAL, "registry key name \"" + std::string(path) + "\""));
}

}  // namespace

std::string store_path() {
  const char* env = std::getenv("KYVEK_REGISTRY");
  if (env != nullptr && *env != '\0') return env;
  return kDefaultStorePath;
}

Status Key::open(std::string_view path, Access access, Key* out) {
  if (!valid_key_path(path)) return bad_path(path);
  std::string store = store_path();
  std::shared_ptr<const Document> doc;
  if (Status s = load_document(store, &doc); !s.ok()) return s;
  std::string full = full_key_name(path);
  if (!doc->key_exists(full)) return missing_key(full, store);
  out->path_ = std::string(path);
  out->access_ = access;
  out->open_ = true;
  return Status::Ok();
}

Status Key::read_value(std::string_view name, std::string* out) const {
  if (!open_) return Status::Error(EBADF, error_text(EBADF, "registry key not open"));
  std::string store = store_path();
  std::shared_ptr<const Document> doc;
  if (Status s = load_document(store, &doc); !s.ok()) return s;
  std::string full = full_key_name(path_);
  const StoredKey* key = doc->find_key(full);
  if (key == nullptr) {
    if (!doc->key_exists(full)) return missing_key(full, store);
    return missing_value(name, full);
  }
  const Value* v = key->find_value(name);
  if (v == nullptr) return missing_value(name, full);
  *out = v->data;
  return Status::Ok();
}

Status Key::read_value(std::string_view name, char* out, size_t capacity, size_t* length) const {
  std::string text;
  if (Status s = read_value(name, &text); !s.ok()) return s;
  if (out == nullptr || text.size() + 1 > capacity) {
    return Status::Error(EOVERFLOW, error_text(EOVERFLOW, "value \"" + std::string(name) + "\" needs " +
                                                              std::to_string(text.size() + 1) + " bytes"));
  }
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  if (length != nullptr) *length = text.size();
  return Status::Ok();
}

namespace {

Status change_value(const Key& key, bool writable, const std::function<Status(StoredKey&)>& change) {
  if (!key.is_open()) return Status::Error(EBADF, error_text(EBADF, "registry key not open"));
  std::string full = full_key_name(key.path());
  if (!writable) return Status::Error(EACCES, error_text(EACCES, "registry key " + full + " opened for reading"));
  std::string store = store_path();
  return modify_document(store, [&](Document& doc) {
    if (!doc.key_exists(full)) return missing_key(full, store);
    return change(doc.make_key(full));
  });
}

}  // namespace

Status Key::set_value(std::string_view name, std::string_view text) const {
  return change_value(*this, access_ == Access::kWrite, [&](StoredKey& key) {
    Value* v = key.find_value(name);
    if (v == nullptr) {
      key.values.push_back(Value{std::string(name), ValueType::kText, {}, 0});
      v = &key.values.back();
    }
    v->type = ValueType::kText;
    v->data = std::string(text);
    v->dword = 0;
    return Status::Ok();
  });
}

Status Key::set_values(const std::vector<std::pair<std::string, std::string>>& values) const {
  return change_value(*this, access_ == Access::kWrite, [&](StoredKey& key) {
    for (const auto& [name, text] : values) {
      Value* v = key.find_value(name);
      if (v == nullptr) {
        key.values.push_back(Value{name, ValueType::kText, {}, 0});
        v = &key.values.back();
      }
      v->type = ValueType::kText;
      v->data = text;
      v->dword = 0;
    }
    return Status::Ok();
  });
}

Status Key::set_dword(std::string_view name, uint32_t value) const {
  return change_value(*this, access_ == Access::kWrite, [&](StoredKey& key) {
    Value* v = key.find_value(name);
    if (v == nullptr) {
      key.values.push_back(Value{std::string(name), ValueType::kDword, {}, 0});
      v = &key.values.back();
    }
    v->type = ValueType::kDword;
    v->dword = value;
    v->data = std::to_string(value);
    return Status::Ok();
  });
}

Status Key::delete_value(std::string_view name) const {
  std::string full = full_key_name(path_);
  return change_value(*this, access_ == Access::kWrite, [&](StoredKey& key) {
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
      if (equal_nocase(it->name, name)) {
        key.values.erase(it);
        return Status::Ok();
      }
    }
    return missing_value(name, full);
  });
}

Status Key::values(std::vector<Value>* out) const {
  out->clear();
  if (!open_) return Status::Error(EBADF, error_text(EBADF, "registry key not open"));
  std::string store = store_path();
  std::shared_ptr<const Document> doc;
  if (Status s = load_document(store, &doc); !s.ok()) return s;
  std::string full = full_key_name(path_);
  if (!doc->key_exists(full)) return missing_key(full, store);
  if (const StoredKey* key = doc->find_key(full)) *out = key->values;
  return Status::Ok();
}

Status create_key(std::string_view path) {
  if (!valid_key_path(path)) return bad_path(path);
  return modify_document(store_path(), [&](Document& doc) {
    // One section per level, as an export lists them.
    for (size_t end = path.find('\\');; end = path.find('\\', end + 1)) {
      std::string full = full_key_name(path.substr(0, end));
      if (doc.find_key(full) == nullptr) doc.make_key(full);
      if (end == std::string_view::npos) break;
    }
    return Status::Ok();
  });
}

}  // namespace kyvek::registry
