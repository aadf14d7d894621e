// What a client may name in the connection string it sends: one data source
// the administrator defined, a user and a password for it, and the client
// driver's own options. Nothing a client sends may name a file, a library, a
// host or a Driver Manager setting on the server, or override what the data
// source sets.
#pragma once

#include <string>

namespace kyvek::server {

struct ClientConnectString {
  std::string dsn;        // the data source that will be connected
  std::string passed_on;  // the string handed to the Driver Manager
  std::string keyword;    // on refusal: the keyword at fault
  std::string reason;     // on refusal: why, for the client's diagnostic
  bool no_memory = false;
};

// Checks text (the plain connection string a client sent). True when it may
// be connected; false with keyword and reason set (or no_memory).
bool check_client_connect_string(const std::string& text, ClientConnectString* out);

// True when name is a data source the server's Driver Manager lists
// (user or system), compared without regard to case.
bool defined_data_source(const std::string& name);

}  // namespace kyvek::server
