// The stored form of a client data source. See dsn_record.h.
#include "dsn_record.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "installer.h"
#include "kycrypt/kycrypt.h"
#include "scramble.h"
#include "trace.h"

namespace kyvek::setup {

namespace {

// Keys the installer's list may give; others are ignored.
constexpr const char* kKnownKeys[] = {
    "DSN",
    "DESCRIPTION",
    "SERVERPORT",
    "SERVER",
    "PORT",
    "UID",
    "PWD",
    "LOGONUSER",
    "LOGONAUTH",
    "TARGETUSER",
    "TARGETAUTH",
    "TARGETDSN",
    "BLOCKFETCHSIZE",
    "METADATABLOCKFETCH",
    "USEVEKDBAUTH",
    "GETINFOPASSTHRU",
    "OVERRIDELENGTH",
    "IGNORESTMTATTRS",
    "DISGUISEWIDE",
    "MAPEXECDIRECT",
    "CONNECTATTEMPTS",
};

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::vector<std::string> split(const std::string& text, char sep, bool skip_empty) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(sep, start);
    std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!piece.empty() || !skip_empty) parts.push_back(piece);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!skip_empty && text.empty()) parts.clear();
  return parts;
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += ',';
    out += parts[i];
  }
  return out;
}

long to_int(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

int clamp(long v, int lo, int hi) { return static_cast<int>(std::clamp<long>(v, lo, hi)); }

const char* flag(bool on) { return on ? "1" : "0"; }

// One value a save writes, in the order written.
struct StoredField {
  const char* key;
  std::string (*get)(const DsnRecord&);
  bool harvested;  // handed back to the driver by the completion dialog
};

const StoredField kStored[] = {
    {"DESCRIPTION", [](const DsnRecord& r) { return r.description; }, false},
    {"SERVERPORT", [](const DsnRecord& r) { return r.servers; }, true},
    {"LOGONUSER", [](const DsnRecord& r) { return r.logon_user; }, true},
    {"LOGONAUTH", [](const DsnRecord& r) { return r.logon_auth; }, true},
    {"TARGETDSN", [](const DsnRecord& r) { return r.target_dsn; }, true},
    {"TARGETUSER", [](const DsnRecord& r) { return r.target_user; }, true},
    {"TARGETAUTH", [](const DsnRecord& r) { return r.target_auth; }, true},
    {"BLOCKFETCHSIZE",
     [](const DsnRecord& r) { return r.block_fetch_size < 0 ? std::string() : std::to_string(r.block_fetch_size); },
     true},
    {"METADATABLOCKFETCH", [](const DsnRecord& r) { return std::string(flag(r.metadata_block_fetch)); }, true},
    {"USEVEKDBAUTH", [](const DsnRecord& r) { return std::string(flag(r.use_vek_db_auth)); }, true},
    {"GETINFOPASSTHRU", [](const DsnRecord& r) { return std::string(flag(r.getinfo_passthru)); }, true},
    {"OVERRIDELENGTH", [](const DsnRecord& r) { return std::string(flag(r.override_length)); }, true},
    {"IGNORESTMTATTRS", [](const DsnRecord& r) { return r.ignore_stmt_attrs; }, true},
    {"DISGUISEWIDE", [](const DsnRecord& r) { return std::string(flag(r.disguise_wide)); }, true},
    {"MAPEXECDIRECT", [](const DsnRecord& r) { return std::string(flag(r.map_exec_direct)); }, false},
    {"CONNECTATTEMPTS", [](const DsnRecord& r) { return std::to_string(r.connect_attempts); }, true},
};

bool has_line_break(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// The section as it is now, to put back when the installer refuses a write.
using Section = std::vector<std::pair<std::string, std::string>>;

Section read_section(const std::string& name) {
  Section section;
  std::vector<char> keys(65536, '\0');
  int n = get_private_profile_string(name.c_str(), nullptr, "", keys.data(), static_cast<int>(keys.size()), kOdbcIni);
  if (n <= 0) return section;
  keys.back() = '\0';
  for (const char* k = keys.data(); *k && k < keys.data() + keys.size(); k += std::strlen(k) + 1) {
    std::vector<char> value(4096, '\0');
    get_private_profile_string(name.c_str(), k, "", value.data(), static_cast<int>(value.size()), kOdbcIni);
    value.back() = '\0';
    section.emplace_back(k, value.data());
    explicit_bzero(value.data(), value.size());
  }
  return section;
}

void restore_section(const std::string& name, const Section& section) {
  for (const auto& [key, value] : section)
    write_private_profile_string(name.c_str(), key.c_str(), value.c_str(), kOdbcIni);
}

void wipe_section(Section& section) {
  for (auto& kv : section) wipe(kv.second);
}

}  // namespace

void wipe(std::string& text) {
  if (!text.empty()) explicit_bzero(text.data(), text.size());
  text.clear();
}

bool is_secret_key(std::string_view key) {
  for (const char* k : {"PWD", "LOGONAUTH", "TARGETAUTH"})
    if (key.size() == std::strlen(k) && strncasecmp(key.data(), k, key.size()) == 0) return true;
  return false;
}

const char* masked(std::string_view key, const char* value) { return is_secret_key(key) ? "*****" : value; }

AttributeValues::~AttributeValues() {
  for (auto& kv : values) wipe(kv.second);
}

const std::string* AttributeValues::get(const std::string& key) const {
  auto it = values.find(key);
  return it == values.end() ? nullptr : &it->second;
}

std::string AttributeValues::text(const std::string& key) const {
  const std::string* v = get(key);
  return v ? *v : std::string();
}

int parse_attributes(const char* list, AttributeValues* out) {
  if (!list) return 0;
  for (const char* item = list; *item; item += std::strlen(item) + 1) {
    const char* eq = std::strchr(item, '=');
    size_t key_len = eq ? static_cast<size_t>(eq - item) : 0;
    size_t value_len = eq ? std::strlen(eq + 1) : 0;
    if (!eq || key_len > kMaxAttributeLength || value_len > kMaxAttributeLength) {
      SETUP_TRACE("Refused attribute list (item without '=' or longer than %zu characters)\n", kMaxAttributeLength);
      for (auto& kv : out->values) wipe(kv.second);
      out->values.clear();
      out->servers.clear();
      return -1;
    }
    std::string key = upper(std::string(item, key_len));
    std::string value(eq + 1, value_len);
    SETUP_TRACE("Found attr %s = %s\n", key.c_str(), masked(key, value.c_str()));
    if (std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys), [&](const char* k) { return key == k; }) !=
        std::end(kKnownKeys)) {
      std::string& slot = out->values[key];
      wipe(slot);
      slot = value;
      if (key == "SERVERPORT") out->servers = split(value, ',', true);
    }
    wipe(value);
    const std::string* server = out->get("SERVER");
    const std::string* port = out->get("PORT");
    if (out->servers.empty() && server && port && !server->empty() && !port->empty()) {
      for (const std::string& s : split(*server, ',', true))
        for (const std::string& p : split(*port, ',', true)) out->servers.push_back(s + ":" + p);
      SETUP_TRACE("(parse) serverport not found using %s and %s\n", server->c_str(), port->c_str());
    }
  }
  return 0;
}

DsnRecord::~DsnRecord() {
  wipe(logon_auth);
  wipe(target_auth);
}

DsnRecord load_dsn(const AttributeValues& attrs, int mode, const Notify& notify) {
  DsnRecord r;
  r.name = attrs.text("DSN");
  const bool ini = !r.name.empty() && mode != kModeAdd;
  auto stored = [&](const char* key) { return ini ? read_ini_value(r.name, key) : std::string(); };
  // The attribute value when not empty, else the stored one.
  auto pick = [&](const char* key) {
    std::string v = attrs.text(key);
    return v.empty() ? stored(key) : v;
  };
  if (!r.name.empty()) SETUP_TRACE("setting dsn : %s\n", r.name.c_str());

  r.description = pick("DESCRIPTION");

  std::vector<std::string> servers = attrs.servers;
  if (!servers.empty()) {
    SETUP_TRACE("Joining serverport\n");
  } else if (ini) {
    SETUP_TRACE("Retrieving serverport from dsn\n");
    std::string sp = stored("SERVERPORT");
    SETUP_TRACE("Retrieved serverport : %s\n", sp.c_str());
    servers = split(sp, ',', true);
    if (servers.empty()) {
      std::string server = pick("SERVER"), port = pick("PORT");
      std::vector<std::string> hosts = split(server, ',', true), ports = split(port, ',', true);
      SETUP_TRACE("(init) serverport not found using %s and %s\n", server.c_str(), port.c_str());
      if (hosts.size() == ports.size()) {
        for (size_t i = 0; i < hosts.size(); ++i) servers.push_back(hosts[i] + ":" + ports[i]);
      } else if (notify) {
        notify("Server/Port conflict",
               "Inconsistent Server/Port definitions.\n\"" + server + "\" and \"" + port + "\"");
      }
    }
  }
  r.servers = join(servers);

  r.logon_user = pick("LOGONUSER");
  r.logon_auth = attrs.text("LOGONAUTH");
  if (r.logon_auth.empty() && ini) {
    std::string s = stored("LOGONAUTH");
    r.logon_auth = reveal_password(s, kLogonAuthKey);
    wipe(s);
  }
  r.target_dsn = attrs.text("TARGETDSN");
  if (r.target_dsn.empty() && ini) {
    r.target_dsn = stored("TARGETDSN");
    SETUP_TRACE("TargetDSN from ini is %s\n", r.target_dsn.c_str());
  }
  r.target_user = attrs.text("UID");
  if (r.target_user.empty()) r.target_user = pick("TARGETUSER");
  r.target_auth = attrs.text("PWD");
  if (r.target_auth.empty()) r.target_auth = attrs.text("TARGETAUTH");
  if (r.target_auth.empty() && ini) {
    std::string s = stored("TARGETAUTH");
    r.target_auth = reveal_password(s, kTargetAuthKey);
    wipe(s);
  }

  // Not given anywhere: left out, so that the driver chooses.
  std::string v = attrs.text("BLOCKFETCHSIZE");
  if (v.empty() && ini) v = stored("BLOCKFETCHSIZE");
  r.block_fetch_size = v.empty() ? -1 : clamp(to_int(v), 0, 100);

  v = attrs.text("METADATABLOCKFETCH");
  if (!v.empty()) {
    r.metadata_block_fetch = v != "0";
  } else {
    std::string s = stored("METADATABLOCKFETCH");
    r.metadata_block_fetch = !(ini && !s.empty() && s != "1");
  }

  // A box that an attribute or the stored value switches on with "1".
  auto one = [&](const char* key, bool initial) {
    std::string a = attrs.text(key);
    if (!a.empty()) return a == "1";
    return ini ? stored(key) == "1" : initial;
  };
  r.use_vek_db_auth = one("USEVEKDBAUTH", false);
  r.getinfo_passthru = one("GETINFOPASSTHRU", false);
  r.override_length = one("OVERRIDELENGTH", false);
  r.ignore_stmt_attrs = pick("IGNORESTMTATTRS");
  r.disguise_wide = one("DISGUISEWIDE", false);

  v = attrs.text("MAPEXECDIRECT");
  if (!v.empty()) {
    r.map_exec_direct = v == "1";
  } else {
    std::string s = stored("MAPEXECDIRECT");
    r.map_exec_direct = !ini || s.empty() || s == "1";
  }

  v = attrs.text("CONNECTATTEMPTS");
  if (v.empty()) {
    v = ini ? stored("CONNECTATTEMPTS") : "5";
    if (v.empty()) v = "5";
  }
  r.connect_attempts = clamp(to_int(v), 1, 99);
  return r;
}

bool validate_servers(const std::string& text, std::vector<std::string>* list) {
  std::vector<std::string> entries = split(text, ',', true);
  if (list) *list = entries;
  for (const std::string& e : entries) {
    std::vector<std::string> pieces = split(e, ':', true);
    if (pieces.size() != 2) return false;
    const std::string& port = pieces[1];
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    long p = to_int(port);
    if (p < 1 || p > 65535) return false;
  }
  return true;
}

std::string record_value(const DsnRecord& record, const std::string& key) {
  if (key == "SERVER" || key == "PORT") {
    std::vector<std::string> parts;
    for (const std::string& e : split(record.servers, ',', true)) {
      std::vector<std::string> pieces = split(e, ':', false);
      size_t i = key == "SERVER" ? 0 : 1;
      parts.push_back(i < pieces.size() ? pieces[i] : std::string());
    }
    return join(parts);
  }
  for (const StoredField& f : kStored)
    if (f.harvested && key == f.key) return f.get(record);
  return "";
}

std::vector<std::pair<std::string, std::string>> stored_values(const DsnRecord& record) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const StoredField& f : kStored) {
    std::string v = f.get(record);
    // Keys whose absence has a meaning of its own are left out when not set.
    if ((std::strcmp(f.key, "IGNORESTMTATTRS") == 0 || std::strcmp(f.key, "BLOCKFETCHSIZE") == 0) && v.empty())
      continue;
    out.emplace_back(f.key, std::move(v));
  }
  return out;
}

std::string hex_encode(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
  }
  return out;
}

std::string disguise_password(const std::string& plain, const char* key) {
  if (plain.empty() || plain.size() > kMaxPasswordLength) return "";
  unsigned char buf[256] = {};
  int n = fake_string(plain.c_str(), buf, sizeof buf, key);
  std::string hex = n > 0 ? hex_encode(buf, static_cast<size_t>(n)) : std::string();
  explicit_bzero(buf, sizeof buf);
  return hex;
}

std::string reveal_password(const std::string& stored, const char* key) {
  char bytes[256] = {};
  int n = stored.empty() ? 0 : hex_decode(stored.c_str(), bytes, sizeof bytes);
  char out[256] = {};
  unfake_string(reinterpret_cast<unsigned char*>(bytes), out, n < 0 ? 0 : n, key);
  std::string plain = out;
  explicit_bzero(bytes, sizeof bytes);
  explicit_bzero(out, sizeof out);
  return plain;
}

SaveResult check_for_save(const DsnRecord& record) {
  SaveResult r;
  if (record.name.empty()) {
    r.error = SaveError::kNoName;
    r.message = "No DSN name given";
  } else if (record.logon_auth.size() > kMaxPasswordLength || record.target_auth.size() > kMaxPasswordLength) {
    r.error = SaveError::kPasswordTooLong;
    r.message = "Passwords cannot be longer than 127 characters";
  } else {
    bool breaks = has_line_break(record.name) || has_line_break(record.driver);
    for (auto& kv : stored_values(record)) {
      breaks = breaks || has_line_break(kv.second);
      wipe(kv.second);
    }
    if (breaks) {
      r.error = SaveError::kLineBreak;
      r.message = "DSN names and values cannot contain line breaks";
    }
  }
  return r;
}

SaveResult save_dsn(const DsnRecord& record) {
  if (record.driver.empty()) return {};
  SaveResult result = check_for_save(record);
  if (!result.ok()) {
    SETUP_TRACE("Save refused: %s\n", result.message.c_str());
    return result;
  }
  const char* name = record.name.c_str();
  auto refused = [&](const char* what) {
    result.error = SaveError::kInstaller;
    result.message = std::string(what) + " failed for DSN " + record.name;
    for (const InstallerRecord& ir : installer_records(512, true)) result.installer.emplace_back(ir.code, ir.message);
    SETUP_TRACE("%s\n", result.message.c_str());
  };

  Section before = read_section(record.name);
  remove_dsn_from_ini(name);
  if (!write_dsn_to_ini(name, record.driver.c_str())) {
    refused("SQLWriteDSNToIni");
    restore_section(record.name, before);
    wipe_section(before);
    return result;
  }
  auto values = stored_values(record);
  for (auto& [key, value] : values) {
    std::string text = value;
    if (key == "LOGONAUTH") text = disguise_password(value, kLogonAuthKey);
    if (key == "TARGETAUTH") text = disguise_password(value, kTargetAuthKey);
    bool ok = write_private_profile_string(name, key.c_str(), text.c_str(), kOdbcIni);
    wipe(text);
    if (!ok) {
      refused("SQLWritePrivateProfileString");
      remove_dsn_from_ini(name);
      restore_section(record.name, before);
      break;
    }
  }
  for (auto& kv : values) wipe(kv.second);
  wipe_section(before);
  return result;
}

}  // namespace kyvek::setup
