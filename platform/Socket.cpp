// The POSIX part of the socket layer (see platform/common/SocketOs.h): errno translated once to
// the Winsock numbering, close-on-exec sockets, poll, and sends that never raise SIGPIPE.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/common/SocketOs.h"

namespace veldra::platform {

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

namespace os {

int Fail() {
  SetLastSocketError(ErrnoToSocketError(errno));
  return -1;
}

bool Start() {
  return true;
}

SocketHandle Create(int type, int protocol) {
  const SocketHandle s = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
  return s < 0 ? Fail() : s;
}

SocketHandle Accept(SocketHandle listening) {
  for (;;) {
    const SocketHandle s = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) return s;
    if (errno != EINTR) return Fail();
  }
}

int WaitOnce(SocketHandle socket, bool write, int ms) {
  pollfd pfd{socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  const int ready = ::poll(&pfd, 1, ms);
  if (ready < 0) return Fail();
  if (ready > 0 && (pfd.revents & POLLNVAL)) {
    SetLastSocketError(kWsaENOTSOCK);
    return -1;
  }
  // POLLHUP/POLLERR count as ready: the following call reports the close or error.
  return ready > 0 ? 1 : 0;
}

long SendNoWait(SocketHandle socket, const void* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail();
  }
}

long RecvNoWait(SocketHandle socket, void* data, std::size_t length, bool peek) {
  for (;;) {
    const ssize_t n = ::recv(socket, data, length, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail();
  }
}

int SetBlocking(SocketHandle socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) return Fail();
  const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return wanted == flags || ::fcntl(socket, F_SETFL, wanted) == 0 ? 0 : Fail();
}

int Close(SocketHandle socket) {
  return ::close(socket) == 0 ? 0 : Fail();
}

}  // namespace os
}  // namespace veldra::platform
