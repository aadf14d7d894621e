// The keywords of a connection string as the client driver and the server
// treat them.
//
// The client driver sends the server its data source, user and password, its
// own options that the server uses, and every keyword it does not know (the
// target driver's options). The server passes on the first two groups, and a
// target option only when the administrator lists it (setting
// TargetKeywords). Keywords that name files, libraries or Driver Manager
// behaviour never travel: the client driver keeps them, the server refuses
// them, and the setting cannot list them.
#pragma once

namespace kyvek {

// Passed on to the server, and by the server, always.
inline constexpr const char* kForwardedConnectKeywords[] = {"DSN",
                                                            "UID",
                                                            "PWD",
                                                            "UNQUOTE_CATALOG_FNS",
                                                            "METADATA_ID_IDENTIFIERS",
                                                            "IGNORESTMTATTRS",
                                                            "DECASNUMERIC",
                                                            "DEFAULTPARAMSIZE"};

// Never passed on: they name a file, a library or a setting of the Driver
// Manager (or of a driver that loads code).
inline constexpr const char* kNeverPassedConnectKeywords[] = {
    "DRIVER",     "FILEDSN",    "SAVEFILE",  "TRACE",   "TRACEFILE", "TRACEDLL",
    "DMCONNATTR", "DMSTMTATTR", "DMENVATTR", "LOADEXT", "ODBCDM"};

}  // namespace kyvek
