// The transport layer: a table of drivers built once, and the connection each
// driver opens. A connection carries frames (wire.h): send emits exactly one frame,
// receive reads exactly one. A frame longer than the receiver's capacity fails.
// A sender tells whether more frames of the same message follow; a socket
// connection then may keep the frame back and send the whole message at once (its
// last frame is sent with more = false). The bytes on the wire never change.
// Connections belong to one handle and are used under its call discipline.
#ifndef KYRPC_TRANSPORT_H
#define KYRPC_TRANSPORT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kyrpc {

// The 13 option texts handed to open, numbered as on the wire of the engine:
// 1 host, 2 port, 3-5 free texts, 6 idle time-out, 7-10 low-level ids 1-4,
// 11 transport option 7, 12-13 low-level ids 5-6.
struct TransportOptions {
  const char* item[13] = {};
  const char* get(int number) const { return item[number - 1]; }
};

class Connection {
 public:
  virtual ~Connection() = default;  // closes the connection (the driver's rules)
  // false with the reason in message().
  virtual bool open(bool server_mode, const TransportOptions& options, int socket) = 0;
  virtual bool send(const uint8_t* bytes, size_t length, bool more) = 0;
  // Sends the frames a send with more = true kept back (the messages of queued
  // calls); false with the reason in message() when the socket failed.
  virtual bool send_held() { return true; }
  // Whether bytes of a further message have arrived already. A server keeps a
  // finished reply back while they have (the replies of calls a client sent
  // together then leave together); it sends what it kept before it waits.
  virtual bool input_buffered() const { return false; }
  // Receives one frame of at most capacity bytes; *length is its payload length.
  virtual bool receive(uint8_t* buffer, size_t capacity, size_t* length) = 0;
  virtual const char* message() const = 0;
  // The longest a client waits for the peer (connect, handshake, each reply), in
  // milliseconds; 0 waits for ever. A wait that runs out fails, sets timed_out()
  // and closes the link: a reply that came later would answer the wrong call.
  virtual void set_wait_limit(long millis) { (void)millis; }
  // An end no wait of a client goes past, whatever its limit (a connect that
  // must be over by then: attempts, handshake and logon together); none clears it.
  virtual void set_wait_end(std::optional<std::chrono::steady_clock::time_point> end) { (void)end; }
  virtual bool timed_out() const { return false; }
};

struct TransportDriver {
  const char* name;
  const char* description;
  std::unique_ptr<Connection> (*create)();
};

// The process-wide table: TTY = 0, BSD = 1, Winsock = 2.
size_t transport_count();
const TransportDriver& transport_at(size_t index);

// Connections over a socket the caller holds (not closed by the connection); used by
// the drivers and by tests that drive both ends over a socketpair.
std::unique_ptr<Connection> make_winsock_connection(int fd, const char* idle_timeout);
std::unique_ptr<Connection> make_tty_connection(int fd, const char* idle_timeout);

// Length of one "second" of the idle waits, in milliseconds (1000; tests shorten it).
void set_idle_second_ms(int ms);
int idle_second_ms();

// Parses an idle time-out text: a whole decimal number not above 0xFFFFFFFE, else 0.
uint32_t parse_idle_timeout(const char* text);

}  // namespace kyrpc

#endif
