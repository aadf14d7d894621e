// Page handlers of the dispatch table and what they share.
#ifndef KYVEK_SERVER_HTTP_PAGES_H
#define KYVEK_SERVER_HTTP_PAGES_H

#include <string>
#include <vector>

#include "http_internal.h"

namespace kyvek::http {

// Loads the row's template and copies it with the page's entities through the
// page writer; the template's last character (its final line end) is not
// sent. 0, or -1 when the template cannot be loaded (answered already).
int template_page(const uri_entry& row, http_request& request, char* out, size_t* length, const entity_list& entities);

// Asks for authorisation when the running Flags have HTTPAuthAll. 1 go on, 0
// refused (status and page set).
int authorise_if_all(http_request& request, char* out, size_t* length);

// The server service's state number and text; -1 when it cannot be queried.
int get_service_state(std::string* text);
// Sends pause (2) or continue (3) to the server service. 0 or -1.
int control_service(uint32_t code);

// The statistics HTML of the shared block.
std::string statistics_table(const server_stats_t* block, uint32_t flags, time_t now);

int uri_index(const uri_entry&, http_request&, char*, size_t*);
int uri_hosts(const uri_entry&, http_request&, char*, size_t*);
int uri_information(const uri_entry&, http_request&, char*, size_t*);
int uri_service_control(const uri_entry&, http_request&, char*, size_t*);
int uri_service_change(const uri_entry&, http_request&, char*, size_t*);
int uri_internal(const uri_entry&, http_request&, char*, size_t*);
int uri_configuration(const uri_entry&, http_request&, char*, size_t*);
int uri_config_change_f(const uri_entry&, http_request&, char*, size_t*);
int uri_config_change_s(const uri_entry&, http_request&, char*, size_t*);
int uri_access_control(const uri_entry&, http_request&, char*, size_t*);
int uri_access_change_s(const uri_entry&, http_request&, char*, size_t*);
int uri_access_remove_s(const uri_entry&, http_request&, char*, size_t*);
int uri_dsnaccess_change_s(const uri_entry&, http_request&, char*, size_t*);
int uri_dsnaccess_remove_s(const uri_entry&, http_request&, char*, size_t*);
int uri_op_config(const uri_entry&, http_request&, char*, size_t*);
int uri_data_sources(const uri_entry&, http_request&, char*, size_t*);
int uri_dsn(const uri_entry&, http_request&, char*, size_t*);
int uri_audit(const uri_entry&, http_request&, char*, size_t*);
int uri_graph(const uri_entry&, http_request&, char*, size_t*);
int uri_graph_page(const uri_entry&, http_request&, char*, size_t*);
// The export lines of the settings key; *failure gets the page paragraph when
// the key cannot be read.
std::vector<std::string> export_lines(std::string* failure);

}  // namespace kyvek::http

#endif
