// What a client may name in the connection string it sends: one data source
// the administrator defined, a user and a password for it, the client
// driver's own options, and the target driver options the administrator lists
// in the setting TargetKeywords. Nothing a client sends may name a file, a
// library, a host or a Driver Manager setting on the server.
#pragma once

#include <string>
#include <vector>

namespace kyvek::server {

struct ClientConnectString {
  std::string dsn;        // the data source that will be connected
  std::string passed_on;  // the string handed to the Driver Manager
  // Target options that TargetKeywords does not list (upper-case): left out
  // of passed_on, the connection goes on.
  std::vector<std::string> left_out;
  std::string keyword;    // on refusal: the keyword at fault
  std::string reason;     // on refusal: why, for the client's diagnostic
  bool no_memory = false;
};

// Checks text (the plain connection string a client sent) against the
// setting TargetKeywords. True when it may be connected; false with keyword
// and reason set (or no_memory). Values are passed on as the client wrote
// them, braces included.
bool check_client_connect_string(const std::string& text, const std::string& target_keywords,
                                 ClientConnectString* out);

// The names TargetKeywords lists (comma separated, blanks around a name ignored).
std::vector<std::string> target_keyword_names(const std::string& setting);

// The names TargetKeywords lists that are never passed on (files, libraries,
// Driver Manager settings): a setting naming one is refused at start-up.
std::vector<std::string> never_passed_target_keywords(const std::string& setting);

// True when name is a data source the server's Driver Manager lists
// (user or system), compared without regard to case.
bool defined_data_source(const std::string& name);

}  // namespace kyvek::server
