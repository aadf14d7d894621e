// Connection keywords, the attribute presence mask, the client flag word and
// the merge of a DSN's stored attributes.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver.h"
#include "kycrypt/kycrypt.h"
#include "scramble.h"
#include "trace.h"

namespace kyvek::driver {

namespace {

struct KeywordBit {
  const char* keyword;
  uint32_t bit;
};

// In the order the mask is computed. DEFAULTPARAMSIZE gets its bit only from
// the later steps.
constexpr KeywordBit kPresence[] = {
    {"DRIVER", kKeyDriver},
    {"FILEDSN", kKeyFileDsn},
    {"SAVEFILE", kKeySaveFile},
    {"DSN", kKeyDsn},
    {"SERVER", kKeyServer},
    {"TRANSPORT", kKeyTransport},
    {"PORT", kKeyPort},
    {"TARGETDSN", kKeyTargetDsn},
    {"TARGETUSER", kKeyTargetUser},
    {"TARGETAUTH", kKeyTargetAuth},
    {"LOGONUSER", kKeyLogonUser},
    {"LOGONAUTH", kKeyLogonAuth},
    {"BLOCKFETCHSIZE", kKeyBlockFetchSize},
    {"METADATABLOCKFETCH", kKeyMetadataBlockFetch},
    {"DISGUISEWIDE", kKeyDisguiseWide},
    {"USEVEKDBAUTH", kKeyUseVekDbAuth},
    {"GETINFOPASSTHRU", kKeyGetInfoPassthru},
    {"MAPEXECDIRECT", kKeyMapExecDirect},
    {"CONNECTATTEMPTS", kKeyConnectAttempts},
    {"SERVERPORT", kKeyServerPort},
    {"UNQUOTE_CATALOG_FNS", kKeyUnquoteCatalogFns},
    {"METADATA_ID_IDENTIFIERS", kKeyMetadataIdIdentifiers},
    {"OVERRIDELENGTH", kKeyOverrideLength},
    {"IGNORESTMTATTRS", kKeyIgnoreStmtAttrs},
    {"DECASNUMERIC", kKeyDecAsNumeric},
};

// Converts as written (decimal, 0x hexadecimal, leading 0 octal). With whole,
// the text must convert entirely. Values that are the converter's 32-bit
// overflow results, or out of the 32-bit range, are refused.
bool convert(const std::string& text, long* out, bool whole) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 0);
  if (end == text.c_str()) return false;
  if (whole && *end != '\0') return false;
  if (errno == ERANGE || v >= INT32_MAX || v <= INT32_MIN) return false;
  *out = v;
  return true;
}

int32_t capped(long v, long maximum) { return (v < 0 || v > maximum) ? maximum : v; }

enum class Kind { kText, kFlag, kNumber, kList };
enum class Target { kNone, kBlockFetch, kDefaultParam, kConnectRetries };

struct MergeRow {
  const char* keyword;
  uint32_t bit;
  Kind kind;
  uint32_t flag;
  Target target;
  long maximum;
};

constexpr MergeRow kMerge[] = {
    {"SERVER", kKeyServer, Kind::kText, 0, Target::kNone, 0},
    {"PORT", kKeyPort, Kind::kText, 0, Target::kNone, 0},
    {"TARGETDSN", kKeyTargetDsn, Kind::kText, 0, Target::kNone, 0},
    {"SERVERPORT", kKeyServerPort, Kind::kText, 0, Target::kNone, 0},
    {"TARGETUSER", kKeyTargetUser, Kind::kText, 0, Target::kNone, 0},
    {"LOGONUSER", kKeyLogonUser, Kind::kText, 0, Target::kNone, 0},
    {"UNQUOTE_CATALOG_FNS", kKeyUnquoteCatalogFns, Kind::kFlag, kFlagUnquoteCatalogFns, Target::kNone, 0},
    {"METADATA_ID_IDENTIFIERS", kKeyMetadataIdIdentifiers, Kind::kFlag, kFlagMetadataIdIdentifiers, Target::kNone, 0},
    {"BLOCKFETCHSIZE", kKeyBlockFetchSize, Kind::kNumber, 0, Target::kBlockFetch, 100},
    {"METADATABLOCKFETCH", kKeyMetadataBlockFetch, Kind::kFlag, kFlagMetadataBlockFetch, Target::kNone, 0},
    {"DISGUISEWIDE", kKeyDisguiseWide, Kind::kFlag, kFlagDisguiseWide, Target::kNone, 0},
    {"GETINFOPASSTHRU", kKeyGetInfoPassthru, Kind::kFlag, kFlagGetInfoPassthru, Target::kNone, 0},
    {"OVERRIDELENGTH", kKeyOverrideLength, Kind::kFlag, kFlagOverrideLength, Target::kNone, 0},
    {"IGNORESTMTATTRS", kKeyIgnoreStmtAttrs, Kind::kList, 0, Target::kNone, 0},
    {"MAPEXECDIRECT", kKeyMapExecDirect, Kind::kFlag, kFlagMapExecDirect, Target::kNone, 0},
    {"DEFAULTPARAMSIZE", kKeyDefaultParamSize, Kind::kNumber, 0, Target::kDefaultParam, 1024},
    {"CONNECTATTEMPTS", kKeyConnectAttempts, Kind::kNumber, 0, Target::kConnectRetries, 100},
    {"DECASNUMERIC", kKeyDecAsNumeric, Kind::kFlag, kFlagDecAsNumeric, Target::kNone, 0},
};

int32_t* number_target(client_dbc* dbc, Target t) {
  switch (t) {
    case Target::kBlockFetch: return &dbc->block_fetch_size;
    case Target::kDefaultParam: return &dbc->default_param_size;
    case Target::kConnectRetries: return &dbc->connect_retries;
    default: return nullptr;
  }
}

void set_flag(client_dbc* dbc, uint32_t flag, bool on) {
  if (on)
    dbc->client_flags |= flag;
  else
    dbc->client_flags &= ~flag;
}

// A stored disguised password: upper-case hexadecimal of kycrypt bytes. Values
// that are not hexadecimal or would not fit the 256-byte output are refused.
bool undisguise(const std::string& hex, const char* key, std::string* plain) {
  constexpr size_t kMaxBytes = 255;
  if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxBytes) return false;
  char bytes[kMaxBytes + 1];
  int n = hex_decode(hex.c_str(), bytes, sizeof bytes);
  if (n < 0) return false;
  char out[kMaxBytes + 1] = {};
  if (unfake_string(reinterpret_cast<unsigned char*>(bytes), out, n, key) < 0) return false;
  plain->assign(out);
  return true;
}

constexpr const char kLogonAuthKey[] = "vejqdumxo";

// The form the setup dialog stores: an even number of upper-case hexadecimal
// digits.
bool looks_disguised(const std::string& text) {
  if (text.empty() || text.size() % 2 != 0) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

}  // namespace

std::string disguised_logon_auth(const std::string& plain) {
  if (plain.empty() || plain.size() > 255) return "";
  unsigned char bytes[256] = {};
  int n = fake_string(plain.c_str(), bytes, sizeof bytes, kLogonAuthKey);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (int i = 0; i < n; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xF];
  }
  explicit_bzero(bytes, sizeof bytes);
  return hex;
}

void reveal_disguised_logon_auth(AttrList& list) {
  const std::string* hex = list.get(kDisguisedLogonAuth);
  if (!hex) return;
  std::string plain;
  if (!list.has_value("LOGONAUTH") && undisguise(*hex, kLogonAuthKey, &plain)) list.set("LOGONAUTH", plain);
  while (list.remove(kDisguisedLogonAuth)) {
  }
}

uint32_t attribute_presence_mask(const AttrList& list) {
  uint32_t mask = 0;
  for (const auto& k : kPresence)
    if (list.has(k.keyword)) mask |= k.bit;
  return mask;
}

void retrieve_vek_flags(client_dbc* dbc) {
  TRACE(kTraceConnect, "\t\t%s\n", dbc->dsn_name[0] ? "With DSN" : "Without DSN");
  struct Setting {
    const char* name;
    const char* def;
    int base;
    int32_t* field;
  } settings[] = {
      {"MaxBookMarkSize", "32", 10, &dbc->bookmark_size},
      {"Flags", "0", 0, &dbc->registry_flags},
      {"NetRCVLOWAT", "", 0, &dbc->rcv_lowat},
      {"NetRCVBUF", "", 0, &dbc->rcv_buf},
      {"NetSNDBUF", "", 0, &dbc->snd_buf},
      {"NetConnectRetryCount", "", 0, &dbc->connect_retries},
  };
  for (const Setting& s : settings) {
    std::string v = read_setting(s.name, s.def);
    if (v.empty()) continue;
    TRACE(kTraceConnect, "\t\t%s = %s\n", s.name, v.c_str());
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(v.c_str(), &end, s.base);
    if (*end != '\0' || errno == ERANGE || n >= INT32_MAX || n <= INT32_MIN) continue;
    *s.field = static_cast<int32_t>(n);
  }
}

void parse_ignore_stmt_attrs(client_dbc* dbc, const std::string& text) {
  dbc->ignored_count = 0;
  size_t start = 0;
  while (start <= text.size() && dbc->ignored_count < kMaxIgnoredStmtAttrs) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    long v;
    if (convert(text.substr(start, comma - start), &v, true)) {
      TRACE(kTraceConnect, "\t\tIgnoreStmtAttr[%u] = %ld\n", dbc->ignored_count, v);
      dbc->ignored_stmt_attrs[dbc->ignored_count++] = static_cast<int32_t>(v);
    }
    start = comma + 1;
  }
}

int get_attrs_from_constr(client_dbc* dbc, uint32_t* mask, const AttrList& list) {
  dbc->client_flags |= kFlagMetadataBlockFetch | kFlagMapExecDirect;
  dbc->default_param_size = 255;
  dbc->client_flags &= ~(kFlagGetInfoPassthru | kFlagOverrideLength);

  auto found = [&](const char* key, uint32_t bit) -> const std::string* {
    const std::string* v = list.get(key);
    if (!v || v->empty()) return nullptr;
    TRACE(kTraceConnect, "\tFound %s = %s in connection string\n", key, v->c_str());
    *mask |= bit;
    return v;
  };
  auto flag_exact_one = [&](const char* key, uint32_t bit, uint32_t flag) {
    if (const std::string* v = found(key, bit)) set_flag(dbc, flag, *v == "1");
  };

  flag_exact_one("UNQUOTE_CATALOG_FNS", kKeyUnquoteCatalogFns, kFlagUnquoteCatalogFns);
  flag_exact_one("METADATA_ID_IDENTIFIERS", kKeyMetadataIdIdentifiers, kFlagMetadataIdIdentifiers);
  if (const std::string* v = found("BLOCKFETCHSIZE", kKeyBlockFetchSize)) {
    long n;
    if (convert(*v, &n, true) && n >= 0) dbc->block_fetch_size = n > 100 ? 100 : n;
  }
  flag_exact_one("METADATABLOCKFETCH", kKeyMetadataBlockFetch, kFlagMetadataBlockFetch);
  flag_exact_one("DISGUISEWIDE", kKeyDisguiseWide, kFlagDisguiseWide);
  flag_exact_one("USEVEKDBAUTH", kKeyUseVekDbAuth, kFlagUseVekDbAuth);
  flag_exact_one("GETINFOPASSTHRU", kKeyGetInfoPassthru, kFlagGetInfoPassthru);
  flag_exact_one("OVERRIDELENGTH", kKeyOverrideLength, kFlagOverrideLength);
  if (const std::string* v = found("IGNORESTMTATTRS", kKeyIgnoreStmtAttrs)) parse_ignore_stmt_attrs(dbc, *v);
  if (const std::string* v = found("MAPEXECDIRECT", kKeyMapExecDirect)) set_flag(dbc, kFlagMapExecDirect, *v != "0");
  if (const std::string* v = found("DECASNUMERIC", kKeyDecAsNumeric)) set_flag(dbc, kFlagDecAsNumeric, *v != "0");
  if (const std::string* v = found("DEFAULTPARAMSIZE", kKeyDefaultParamSize)) {
    // The leading decimal digits, capped as the stored value is.
    errno = 0;
    long n = std::strtol(v->c_str(), nullptr, 10);
    if (errno == ERANGE) n = 255;
    dbc->default_param_size = capped(n, 1024);
  }
  if (const std::string* v = found("CONNECTATTEMPTS", kKeyConnectAttempts)) {
    long n;
    if (convert(*v, &n, true)) dbc->connect_retries = capped(n, 100);
  }
  TRACE(kTraceInternal | kTraceExit, "\t-^%s()=0 (found=0x%lx)\n", "get_attrs_from_constr",
        static_cast<unsigned long>(*mask));
  return 0;
}

int get_connect_attrs_from_dsn(client_dbc* dbc, uint32_t* mask, AttrList& list) {
  const std::string* dsn_value = list.get("DSN");
  if (!dsn_value) {
    TRACE(kTraceConnect, "(DSN not found)\n");
    return -1;
  }
  const std::string dsn = *dsn_value;
  TRACE(kTraceConnect, "\t\tUsing DSN=\\%s\\\n\t\tMerging attributes from DSN\n", dsn.c_str());
  auto read = [&](const char* key) { return read_dsn_value(dsn.c_str(), key); };

  if (!(*mask & kKeyUseVekDbAuth) && read("USEVEKDBAUTH") == "1") {
    TRACE(kTraceConnect, "\t\t%s=%s found - deleting previous values\n", "USEVEKDBAUTH", "1");
    *mask |= kKeyUseVekDbAuth;
    dbc->client_flags |= kFlagUseVekDbAuth;
    list.remove("TARGETAUTH");
    list.remove("TARGETUSER");
    *mask &= ~(kKeyTargetUser | kKeyTargetAuth);
  }
  struct Secret {
    const char* keyword;
    uint32_t bit;
    const char* key;
  } secrets[] = {{"TARGETAUTH", kKeyTargetAuth, "pwxnqlrtoz"}, {"LOGONAUTH", kKeyLogonAuth, kLogonAuthKey}};
  for (const Secret& s : secrets) {
    if ((*mask & s.bit) || list.has_value(s.keyword)) continue;
    std::string stored = read(s.keyword);
    if (stored.empty()) continue;
    // The setup dialog stores the disguised form, upper-case hexadecimal; a
    // value of another form (written in clear by hand) is taken as written.
    std::string plain;
    if (!looks_disguised(stored)) {
      TRACE(kTraceConnect, "\t\tStored %s is not disguised: taken as written\n", s.keyword);
      plain = stored;
    } else if (!undisguise(stored, s.key, &plain)) {
      TRACE(kTraceConnect, "\t\tStored %s refused (a disguised value of more than 255 bytes)\n", s.keyword);
      continue;
    }
    list.set(s.keyword, plain);
    *mask |= s.bit;
  }

  for (const MergeRow& row : kMerge) {
    if ((*mask & row.bit) || list.has_value(row.keyword)) continue;
    std::string v = read(row.keyword);
    if (v.empty()) continue;
    TRACE(kTraceConnect, "\t\tAppending %s = %s\n", row.keyword, v.c_str());
    list.set(row.keyword, v);
    *mask |= row.bit;
    switch (row.kind) {
      case Kind::kText: break;
      case Kind::kList: parse_ignore_stmt_attrs(dbc, v); break;
      case Kind::kFlag: set_flag(dbc, row.flag, v == "1"); break;
      case Kind::kNumber: {
        long n;
        if (convert(v, &n, false)) *number_target(dbc, row.target) = capped(n, row.maximum);
        break;
      }
    }
  }
  TRACE(kTraceInternal | kTraceExit, "\t-^get_connect_attrs_from_dsn()=0 (found=%lx)\n",
        static_cast<unsigned long>(*mask));
  return 0;
}

}  // namespace kyvek::driver
