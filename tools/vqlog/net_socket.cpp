#include "net_socket.h"

#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vqlog {

#ifdef _WIN32
const SocketHandle kNoSocket = static_cast<SocketHandle>(INVALID_SOCKET);
namespace {
int LastError() { return WSAGetLastError(); }
bool InProgress(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
bool SetNonBlocking(SocketHandle s) {
  u_long on = 1;
  return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}
int Poll(WSAPOLLFD* fds, int timeout_ms) { return WSAPoll(fds, 1, timeout_ms); }
using PollFd = WSAPOLLFD;
bool Started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
}  // namespace
void CloseSocket(SocketHandle s) {
  if (s != kNoSocket) closesocket(static_cast<SOCKET>(s));
}
std::string SocketErrorText() {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(WSAGetLastError()), 0, text, sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s;
}
#else
const SocketHandle kNoSocket = -1;
namespace {
int LastError() { return errno; }
bool InProgress(int e) { return e == EINPROGRESS; }
bool SetNonBlocking(SocketHandle s) {
  int flags = fcntl(s, F_GETFL);
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
using PollFd = pollfd;
int Poll(pollfd* fds, int timeout_ms) { return ::poll(fds, 1, timeout_ms); }
bool Started() { return true; }
}  // namespace
void CloseSocket(SocketHandle s) {
  if (s != kNoSocket) ::close(s);
}
std::string SocketErrorText() { return std::strerror(errno); }
#endif

int WaitSocket(SocketHandle s, bool for_write, int timeout_ms) {
  PollFd fd = {};
  fd.fd = s;
  fd.events = for_write ? POLLOUT : POLLIN;
  int n = Poll(&fd, timeout_ms < 0 ? 0 : timeout_ms);
  if (n < 0) {
#ifndef _WIN32
    if (errno == EINTR) return 0;
#endif
    return -1;
  }
  return n > 0 ? 1 : 0;
}

SocketHandle ConnectTcp(const std::string& host, const std::string& port, int timeout_ms, std::string* error) {
  if (!Started()) {
    *error = "cannot start Winsock";
    return kNoSocket;
  }
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return kNoSocket;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  *error = "no address for " + host;
  SocketHandle result = kNoSocket;
  for (addrinfo* a = found; a != nullptr && result == kNoSocket; a = a->ai_next) {
    SocketHandle s = static_cast<SocketHandle>(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (s == kNoSocket) {
      *error = "socket: " + SocketErrorText();
      continue;
    }
#if !defined(_WIN32)
    fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
    if (!SetNonBlocking(s)) {
      *error = "cannot make the socket non-blocking: " + SocketErrorText();
      CloseSocket(s);
      continue;
    }
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      if (!InProgress(LastError())) {
        *error = "connect: " + SocketErrorText();
        CloseSocket(s);
        continue;
      }
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      int ready = left > 0 ? WaitSocket(s, true, left) : 0;
      int so_error = 0;
      socklen_t len = sizeof so_error;
      if (ready <= 0) {
        *error = ready == 0 ? "connect: timed out" : "connect: " + SocketErrorText();
        CloseSocket(s);
        continue;
      }
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0 || so_error != 0) {
#ifdef _WIN32
        WSASetLastError(so_error);
#else
        errno = so_error;
#endif
        *error = "connect: " + SocketErrorText();
        CloseSocket(s);
        continue;
      }
    }
    result = s;
  }
  freeaddrinfo(found);
  return result;
}

}  // namespace vqlog
