/* Server events: numbered reports to the system event log (platform/eventlog)
 * with repeat folding, the last event's text kept in the statistics block. */
#ifndef KYVEK_SERVER_EVENTS_H
#define KYVEK_SERVER_EVENTS_H

#include <stdint.h>

#include "eventlog/eventlog.h"
#include "stats.h"

#define SERVER_EVENT_SOURCE_NAME "Kyronde Vekamar Server"

/* Event ids (the top two bits give the severity). */
enum : uint32_t {
  EV_SOCKET_CREATE_FAILED = 0xC0020082,  /* "Failed to create socket - %s" */
  EV_BIND_FAILED = 0xC0020071,           /* "Failed to bind to port - %s" */
  EV_LISTEN_FAILED = 0xC0020081,         /* "Failed to listen on port - %s" */
  EV_NO_MEMORY = 0xC0020161,             /* "Insufficient virtual memory allocating %s bytes for %s" */
  EV_THREAD_EXITED = 0x40020145,         /* "Thread %s exited" */
  EV_PROCESS_CREATE_FAILED = 0xC0020031, /* "Failed to create process - %s" */
  EV_WORKER_EXCEPTION = 0xC0020241,      /* "Exception in VEK thread handling ODBC connection - %s" */
  EV_THREAD_CREATE_FAILED = 0xC0020191,  /* "Failed to create thread - %s" */
  EV_CLIENT_REFUSED = 0x80020281,        /* "Client refused access - %s" */
  EV_CLIENT_DENIED = 0x80020261,         /* "Client (%s) denied access - %s" */
  EV_CLIENT_DSN_DENIED = 0x80020271,     /* "Client (%s) denied access to DSN '%s' due to access control rule" */
  EV_REPEATED = 0x80020291,              /* "Last message repeated %s times" */
  EV_FILE_ERROR = 0x80020301,            /* "%s File Error (%s)" */
  EV_ERROR_TEXT = 0xC0020201,            /* "%s" */
  EV_HTTP_START_FAILED = 0xC0020221,     /* "Failed to start HTTP Server - %s" */
  EV_WARNING_TEXT = 0x80020311,          /* "%s" */
  EV_INVALID_AUTH = 0x80020321,          /* "Invalid authorisation from %s" */
  EV_NOT_RPC_CLIENT = 0x80020331,        /* "Client %s is not using KyroRPC protocol - possible attack" */
  EV_CLIENT_AUTO_DENIED = 0x80020341,    /* "Client %s disabled (added to denied ACL)" */
  /* without a text of their own: the insertion strings stand alone */
  EV_WINSOCK_UNAVAILABLE = 0xC0020151,
  EV_SELECT_FAILED = 0xC0020171,
  EV_ACCEPT_FAILED = 0xC0020083,
  EV_EXIT_CODE_UNAVAILABLE = 0xC0020181,
  EV_SERVER_RUNNING = 0x20001,
  EV_SERVER_STOPPED = 0x20011,
  EV_SERVER_PAUSED = 0x20012,
  EV_HTTP_STOPPED = 0x20361,
  EV_REQUEST_STOP = 0x40020091,
  EV_REQUEST_PAUSE = 0x40020101,
  EV_REQUEST_CONTINUE = 0x40020111,
  EV_REQUEST_SHUTDOWN = 0x40020131,
  EV_HTTP_REQUEST_STOP = 0x40020391,
  EV_HTTP_REQUEST_PAUSE = 0x40020401,
  EV_HTTP_REQUEST_CONTINUE = 0x40020411,
  EV_HTTP_REQUEST_SHUTDOWN = 0x40020431
};

#ifdef __cplusplus
extern "C" {
#endif

/* Event type for an id: 1 error, 2 warning, 4 information (by its top bits). */
uint16_t event_type_of(uint32_t id);

/* Reports an event. A repeat of the last id is only counted; 50 repeats, or a
 * repeat more than 300 seconds after the last id change, give one event
 * 0x80020291 with the count instead. With a source the event goes to the event
 * log; without one its text goes to standard error. With a block the text and
 * time go into the block's last-event fields. Texts are never used as formats. */
void log_server_event(server_stats_t* block, eventlog_source* source, uint16_t type, uint32_t id, const char* text1,
                      const char* text2);

/* The event's text: the table text with text1 and text2 in its string places,
 * or, for an id without a table text, text1 (and " " text2) literally.
 * out always terminated; returns the length written. */
int format_event_text(uint32_t id, const char* text1, const char* text2, char* out, int capacity);

/* The table text of an id, or NULL. */
const char* event_text_of(uint32_t id);

/* The system's text for an errno value in a new malloc'ed text (free() it);
 * NULL when there is none. Returns the text. */
char* format_system_error(char** text_out, int error_code);

/* The block and source that units report through when they have none of their
 * own (settings moderation, thread table, statistics). Set by the listener. */
void set_server_event_target(server_stats_t* block, eventlog_source* source);
server_stats_t* server_event_block(void);
eventlog_source* server_event_source(void);

/* Forgets pending repeats (tests). */
void reset_server_event_state(void);

#ifdef __cplusplus
}
#endif

#endif
