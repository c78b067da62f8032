// TCP client sockets for the shipper, over BSD sockets or Winsock: connect
// with a time limit, and wait until a socket can be read or written.
#pragma once

#include <cstdint>
#include <string>

namespace vqlog {

#ifdef _WIN32
using SocketHandle = std::uintptr_t;  // SOCKET
#else
using SocketHandle = int;
#endif
extern const SocketHandle kNoSocket;

// Connects to host:port (every address the name has, in turn), giving up
// after timeout_ms in all. The socket is left non-blocking. kNoSocket with
// *error set on failure.
SocketHandle ConnectTcp(const std::string& host, const std::string& port, int timeout_ms, std::string* error);
void CloseSocket(SocketHandle socket);
// Waits until the socket can be read (or written), at most timeout_ms:
// 1 ready, 0 timed out or interrupted by a signal, -1 error.
int WaitSocket(SocketHandle socket, bool for_write, int timeout_ms);
// The last socket error as text.
std::string SocketErrorText();

}  // namespace vqlog
