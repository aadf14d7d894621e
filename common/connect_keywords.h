// The keywords of a connection string that travel from the client driver to
// the server: the data source, its user and password, and the driver's own
// options (the target driver ignores them). The driver sends no others and
// the server accepts no others.
#pragma once

namespace kyvek {

inline constexpr const char* kForwardedConnectKeywords[] = {"DSN",
                                                            "UID",
                                                            "PWD",
                                                            "UNQUOTE_CATALOG_FNS",
                                                            "METADATA_ID_IDENTIFIERS",
                                                            "IGNORESTMTATTRS",
                                                            "DECASNUMERIC",
                                                            "DEFAULTPARAMSIZE"};

}  // namespace kyvek
