// POSIX implementation of the socket layer; see Socket.h for the contract.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace veldra::platform {
namespace {

// Stores errno (translated) as this thread's last error and returns -1 for the caller.
int Fail() {
  SetLastSocketError(ErrnoToSocketError(errno));
  return -1;
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

using NameCall = int (*)(int, sockaddr*, socklen_t*);

int ReadName(NameCall call, SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (call(socket, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return Fail();
  if (ss.ss_family != AF_INET) {
    SetLastSocketError(10047);
    return -1;
  }
  const auto* sa = reinterpret_cast<const sockaddr_in*>(&ss);
  address = ntohl(sa->sin_addr.s_addr);
  port = ntohs(sa->sin_port);
  return 0;
}

// Milliseconds between now and `deadline`, never negative.
int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The connect of ConnectSocket with a cancel flag: non-blocking connect, then waits in short
// slices so that a cancel is noticed quickly without closing the socket under another thread.
int ConnectCancellable(SocketHandle socket, const sockaddr_in& sa,
                       const std::atomic<bool>* cancel) {
  const int flags = fcntl(socket, F_GETFL, 0);
  if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) return Fail();
  int result = 0;
  if (connect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      result = Fail();
    } else {
      result = -1;
      for (;;) {
        if (cancel->load()) {
          SetLastSocketError(kWsaEINTR);
          break;
        }
        pollfd pfd{socket, POLLOUT, 0};
        const int ready = poll(&pfd, 1, 20);
        if (ready < 0 && errno != EINTR) {
          Fail();
          break;
        }
        if (ready <= 0) continue;
        int error = 0;
        socklen_t len = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
          Fail();
        } else if (error != 0) {
          SetLastSocketError(ErrnoToSocketError(error));
        } else {
          result = 0;
        }
        break;
      }
    }
  }
  fcntl(socket, F_SETFL, flags);
  return result;
}

}  // namespace

int ErrnoToSocketError(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP:
#endif
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
    case EPIPE:
      return 10058;  // writing after our side or the peer's reset closed the socket
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    default:
      return err;
  }
}

SocketHandle CreateSocket(int type, int protocol) {
  const int osType = type == kSocketStream ? SOCK_STREAM : type;
  const SocketHandle s = ::socket(AF_INET, osType | SOCK_CLOEXEC, protocol);
  if (s < 0) {
    Fail();
    return kInvalidSocket;
  }
  return s;
}

int BindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sa = MakeAddress(address, port);
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return 0;
}

int ListenSocket(SocketHandle socket, int backlog) {
  if (::listen(socket, backlog) != 0) return Fail();
  return 0;
}

SocketHandle AcceptSocket(SocketHandle listening) {
  for (;;) {
    const SocketHandle s = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) return s;
    if (errno == EINTR) continue;
    Fail();
    return kInvalidSocket;
  }
}

int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port,
                  const std::atomic<bool>* cancel) {
  const sockaddr_in sa = MakeAddress(address, port);
  if (cancel != nullptr) return ConnectCancellable(socket, sa, cancel);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINTR) return Fail();
  // An interrupted blocking connect goes on in the background: wait for its outcome.
  pollfd pfd{socket, POLLOUT, 0};
  while (::poll(&pfd, 1, -1) < 0) {
    if (errno != EINTR) return Fail();
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return Fail();
  if (error != 0) {
    SetLastSocketError(ErrnoToSocketError(error));
    return -1;
  }
  return 0;
}

long SendSocket(SocketHandle socket, const void* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail();
  }
}

long RecvSocket(SocketHandle socket, void* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::recv(socket, data, length, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail();
  }
}

long RecvSocketNoWait(SocketHandle socket, void* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::recv(socket, data, length, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail();
  }
}

int SetSocketReceiveTimeout(SocketHandle socket, int timeoutMs) {
  timeval tv{0, 0};
  if (timeoutMs > 0) {
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
  }
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return Fail();
  return 0;
}

long SendSocketNoWait(SocketHandle socket, const void* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail();
  }
}

namespace {

// poll() for `events` on one socket, continuing after signals for the remaining time.
int WaitSocket(SocketHandle socket, short events, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int wait = timeoutMs < 0 ? -1 : timeoutMs;
  for (;;) {
    pollfd pfd{socket, events, 0};
    const int ready = ::poll(&pfd, 1, wait);
    if (ready > 0) {
      if (pfd.revents & POLLNVAL) {
        SetLastSocketError(kWsaENOTSOCK);
        return -1;
      }
      // POLLHUP/POLLERR count as ready: the following call reports the close or error.
      return 1;
    }
    if (ready == 0) return 0;
    if (errno != EINTR) return Fail();
    if (timeoutMs >= 0) wait = RemainingMs(deadline);
  }
}

}  // namespace

int WaitSocketReadable(SocketHandle socket, int timeoutMs) {
  return WaitSocket(socket, POLLIN, timeoutMs);
}

int WaitSocketWritable(SocketHandle socket, int timeoutMs) {
  return WaitSocket(socket, POLLOUT, timeoutMs);
}

int ShutdownSocketSend(SocketHandle socket) {
  if (::shutdown(socket, SHUT_WR) != 0) return Fail();
  return 0;
}

int ShutdownSocketBoth(SocketHandle socket) {
  if (::shutdown(socket, SHUT_RDWR) != 0) return Fail();
  return 0;
}

int SetSocketResetOnClose(SocketHandle socket) {
  const linger l{1, 0};
  if (::setsockopt(socket, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return Fail();
  return 0;
}

long PeekSocket(SocketHandle socket, void* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::recv(socket, data, length, MSG_PEEK);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail();
  }
}

int CloseSocket(SocketHandle socket) {
  if (::close(socket) != 0) return Fail();
  return 0;
}

int GetSocketName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  return ReadName(::getsockname, socket, address, port);
}

int GetPeerName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  return ReadName(::getpeername, socket, address, port);
}

int LookupHostIPv4(const std::string& name, std::uint32_t& address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 ||
      result == nullptr) {
    if (result != nullptr) ::freeaddrinfo(result);
    SetLastSocketError(kWsaHostNotFound);
    return -1;
  }
  const auto* sa = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  address = ntohl(sa->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return 0;
}

}  // namespace veldra::platform
