// The process-wide transport table, fixed at compile time in the documented order:
// TTY = 0, BSD = 1, Winsock = 2. It is never written after load.
#include "kyrpc.h"
#include "transport.h"

namespace kyrpc {

std::unique_ptr<Connection> create_tty_connection();
std::unique_ptr<Connection> create_bsd_connection();
std::unique_ptr<Connection> create_winsock_connection();

namespace {
const TransportDriver kDrivers[] = {
    {RPC_TRANSPORT_NAME_TTY, "SYSV TTY interface", create_tty_connection},
    {RPC_TRANSPORT_NAME_BSD, "BSD Sockets Interface", create_bsd_connection},
    {RPC_TRANSPORT_NAME_WINSOCK, "Windows Socket interface", create_winsock_connection},
};
}  // namespace

size_t transport_count() { return sizeof kDrivers / sizeof kDrivers[0]; }
const TransportDriver& transport_at(size_t index) { return kDrivers[index]; }

}  // namespace kyrpc
