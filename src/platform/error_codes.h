// Windows and Winsock error codes that the program reports, with their names
// and the system's message texts. One table yields all three, so a code, its
// symbolic name and its text can never drift apart. Codes below 10000 other
// than these are errno values (file and system calls report errno), so the
// table lists no Windows code that would shadow one.
#pragma once

#include <cstdint>
#include <string>

namespace morvex::platform {

// X(name, value, text)
#define MORVEX_ERROR_CODES(X)                                                                                     \
    X(ERROR_SUCCESS, 0, "The operation completed successfully.")                                                  \
    X(ERROR_TIMEOUT, 1460, "This operation returned because the timeout period expired.")                        \
    X(WSAEINTR, 10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall.")               \
    X(WSAEBADF, 10009, "The file handle supplied is not valid.")                                                  \
    X(WSAEACCES, 10013, "An attempt was made to access a socket in a way forbidden by its access permissions.")  \
    X(WSAEFAULT, 10014,                                                                                           \
      "The system detected an invalid pointer address in attempting to use a pointer argument in a call.")        \
    X(WSAEINVAL, 10022, "An invalid argument was supplied.")                                                      \
    X(WSAEMFILE, 10024, "Too many open sockets.")                                                                 \
    X(WSAEWOULDBLOCK, 10035, "A non-blocking socket operation could not be completed immediately.")              \
    X(WSAEINPROGRESS, 10036, "A blocking operation is currently executing.")                                      \
    X(WSAEALREADY, 10037,                                                                                         \
      "An operation was attempted on a non-blocking socket that already had an operation in progress.")           \
    X(WSAENOTSOCK, 10038, "An operation was attempted on something that is not a socket.")                       \
    X(WSAEDESTADDRREQ, 10039, "A required address was omitted from an operation on a socket.")                   \
    X(WSAEMSGSIZE, 10040,                                                                                         \
      "A message sent on a datagram socket was larger than the internal message buffer or some other network "    \
      "limit, or the buffer used to receive a datagram into was smaller than the datagram itself.")               \
    X(WSAEPROTOTYPE, 10041,                                                                                       \
      "A protocol was specified in the socket function call that does not support the semantics of the socket "   \
      "type requested.")                                                                                          \
    X(WSAENOPROTOOPT, 10042,                                                                                      \
      "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call.")    \
    X(WSAEPROTONOSUPPORT, 10043,                                                                                  \
      "The requested protocol has not been configured into the system, or no implementation for it exists.")      \
    X(WSAESOCKTNOSUPPORT, 10044, "The support for the specified socket type does not exist in this address family.") \
    X(WSAEOPNOTSUPP, 10045, "The attempted operation is not supported for the type of object referenced.")       \
    X(WSAEPFNOSUPPORT, 10046,                                                                                     \
      "The protocol family has not been configured into the system or no implementation for it exists.")          \
    X(WSAEAFNOSUPPORT, 10047, "An address incompatible with the requested protocol was used.")                   \
    X(WSAEADDRINUSE, 10048,                                                                                       \
      "Only one usage of each socket address (protocol/network address/port) is normally permitted.")             \
    X(WSAEADDRNOTAVAIL, 10049, "The requested address is not valid in its context.")                             \
    X(WSAENETDOWN, 10050, "A socket operation encountered a dead network.")                                       \
    X(WSAENETUNREACH, 10051, "A socket operation was attempted to an unreachable network.")                      \
    X(WSAENETRESET, 10052,                                                                                        \
      "The connection has been broken due to keep-alive activity detecting a failure while the operation was in " \
      "progress.")                                                                                                \
    X(WSAECONNABORTED, 10053, "An established connection was aborted by the software in your host machine.")     \
    X(WSAECONNRESET, 10054, "An existing connection was forcibly closed by the remote host.")                    \
    X(WSAENOBUFS, 10055,                                                                                          \
      "An operation on a socket could not be performed because the system lacked sufficient buffer space or "     \
      "because a queue was full.")                                                                                \
    X(WSAEISCONN, 10056, "A connect request was made on an already connected socket.")                           \
    X(WSAENOTCONN, 10057,                                                                                         \
      "A request to send or receive data was disallowed because the socket is not connected and (when sending "   \
      "on a datagram socket using a sendto call) no address was supplied.")                                       \
    X(WSAESHUTDOWN, 10058,                                                                                        \
      "A request to send or receive data was disallowed because the socket had already been shut down in that "  \
      "direction with a previous shutdown call.")                                                                 \
    X(WSAETOOMANYREFS, 10059, "Too many references to some kernel object.")                                       \
    X(WSAETIMEDOUT, 10060,                                                                                        \
      "A connection attempt failed because the connected party did not properly respond after a period of "       \
      "time, or established connection failed because connected host has failed to respond.")                    \
    X(WSAECONNREFUSED, 10061, "No connection could be made because the target machine actively refused it.")     \
    X(WSAELOOP, 10062, "Cannot translate name.")                                                                  \
    X(WSAENAMETOOLONG, 10063, "Name component or name was too long.")                                             \
    X(WSAEHOSTDOWN, 10064, "A socket operation failed because the destination host was down.")                   \
    X(WSAEHOSTUNREACH, 10065, "A socket operation was attempted to an unreachable host.")                        \
    X(WSAENOTEMPTY, 10066, "Cannot remove a directory that is not empty.")                                        \
    X(WSAEPROCLIM, 10067,                                                                                         \
      "A Windows Sockets implementation may have a limit on the number of applications that may use it "          \
      "simultaneously.")                                                                                          \
    X(WSAEUSERS, 10068, "Ran out of quota.")                                                                      \
    X(WSAEDQUOT, 10069, "Ran out of disk quota.")                                                                 \
    X(WSAESTALE, 10070, "File handle reference is no longer available.")                                          \
    X(WSAEREMOTE, 10071, "Item is not available locally.")                                                        \
    X(WSASYSNOTREADY, 10091,                                                                                      \
      "WSAStartup cannot function at this time because the underlying system it uses to provide network "         \
      "services is currently unavailable.")                                                                       \
    X(WSAVERNOTSUPPORTED, 10092, "The Windows Sockets version requested is not supported.")                      \
    X(WSANOTINITIALISED, 10093, "Either the application has not called WSAStartup, or WSAStartup failed.")       \
    X(WSAEDISCON, 10101,                                                                                          \
      "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful shutdown "        \
      "sequence.")                                                                                                \
    X(WSAHOST_NOT_FOUND, 11001, "No such host is known.")                                                         \
    X(WSATRY_AGAIN, 11002,                                                                                        \
      "This is usually a temporary error during hostname resolution and means that the local server did not "     \
      "receive a response from an authoritative server.")                                                         \
    X(WSANO_RECOVERY, 11003, "A non-recoverable error occurred during a database lookup.")                       \
    X(WSANO_DATA, 11004, "The requested name is valid, but no data of the requested type was found.")

enum : std::uint32_t {
#define MORVEX_ERROR_ENUM(name, value, text) name = value,
    MORVEX_ERROR_CODES(MORVEX_ERROR_ENUM)
#undef MORVEX_ERROR_ENUM
};

// The symbolic name of a code from the table, or nullptr.
const char* ErrorName(std::uint32_t code) noexcept;

// The system text for an error code, without trailing CR/LF: the table's text
// for Windows and Winsock codes, the C library's text for other errno values,
// and "FormatMessage was unable to decode error (%lu), (0x%x)" otherwise.
std::string ErrorText(std::uint32_t code);

// Same, into a caller's buffer (no allocation; safe where allocating is not,
// such as a crash report). Returns the length written, always terminated.
std::size_t ErrorText(std::uint32_t code, char* buf, std::size_t size) noexcept;

// Maps an errno value from a socket or name-resolution call to its Winsock
// code (EAGAIN -> 10035, ECONNRESET -> 10054, ...). Unknown values map to
// themselves.
std::uint32_t WinsockErrorFromErrno(int err) noexcept;

}  // namespace morvex::platform
