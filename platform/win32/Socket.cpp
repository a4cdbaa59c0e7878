// Winsock 2.2 implementation of the socket layer; see platform/Socket.h. Winsock's own error
// numbers are the ones the transport expects, so errors are passed on unchanged.
//
// A SOCKET is held in the int SocketHandle: Windows keeps handle values within 32 bits so
// that 32-bit and 64-bit programs can share them, and INVALID_SOCKET becomes -1
// (kInvalidSocket).
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace veldra::platform {
namespace {

// Starts Winsock 2.2 once for the process, at the first socket or name query; it stays up
// until the process ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) SetLastSocketError(WSANOTINITIALISED);
  return started;
}

SOCKET Native(SocketHandle socket) {
  return static_cast<SOCKET>(static_cast<std::intptr_t>(socket));
}

SocketHandle FromNative(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket
                                  : static_cast<SocketHandle>(static_cast<std::intptr_t>(socket));
}

int Fail() {
  SetLastSocketError(::WSAGetLastError());
  return -1;
}

// Windows cannot say what a blocking recv waited for, and a socket whose SO_RCVTIMEO expired
// is in an undefined state; so the receive time-outs are kept here and waited for with
// select before each recv.
std::mutex timeoutMutex;
std::unordered_map<SOCKET, int> receiveTimeouts;

int ReceiveTimeoutOf(SocketHandle socket) {
  std::lock_guard<std::mutex> hold(timeoutMutex);
  const auto found = receiveTimeouts.find(Native(socket));
  return found == receiveTimeouts.end() ? 0 : found->second;
}

void ForgetSocket(SocketHandle socket) {
  std::lock_guard<std::mutex> hold(timeoutMutex);
  receiveTimeouts.erase(Native(socket));
}

// Marks a new socket as not inherited by started processes (the background copy).
void NoInherit(SOCKET socket) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

int ClampLength(std::size_t length) {
  return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

// select() for one socket: readable, or writable (a failed connect shows as an exception).
// timeoutMs < 0 waits without limit. 1 ready, 0 time-out, -1 failure.
int WaitSocket(SocketHandle socket, bool write, int timeoutMs) {
  fd_set wanted;
  fd_set failed;
  FD_ZERO(&wanted);
  FD_ZERO(&failed);
  FD_SET(Native(socket), &wanted);
  FD_SET(Native(socket), &failed);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int ready = ::select(0, write ? nullptr : &wanted, write ? &wanted : nullptr, &failed,
                             timeoutMs < 0 ? nullptr : &tv);
  if (ready < 0) {
    Fail();
    if (LastSocketError() == WSAENOTSOCK) SetLastSocketError(kWsaENOTSOCK);
    return -1;
  }
  return ready > 0 ? 1 : 0;
}

int SetBlocking(SocketHandle socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ::ioctlsocket(Native(socket), FIONBIO, &nonBlocking) == 0 ? 0 : Fail();
}

using NameCall = int(WSAAPI*)(SOCKET, sockaddr*, int*);

int ReadName(NameCall call, SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_storage ss;
  int len = sizeof ss;
  if (call(Native(socket), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return Fail();
  if (ss.ss_family != AF_INET) {
    SetLastSocketError(10047);
    return -1;
  }
  const auto* sa = reinterpret_cast<const sockaddr_in*>(&ss);
  address = ntohl(sa->sin_addr.s_addr);
  port = ntohs(sa->sin_port);
  return 0;
}

int ConnectCancellable(SocketHandle socket, const sockaddr_in& sa,
                       const std::atomic<bool>* cancel) {
  if (SetBlocking(socket, false) != 0) return -1;
  int result = 0;
  if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
      result = Fail();
    } else {
      result = -1;
      for (;;) {
        if (cancel->load()) {
          SetLastSocketError(kWsaEINTR);
          break;
        }
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(Native(socket), &writable);
        FD_SET(Native(socket), &failed);
        timeval slice{0, 20000};
        const int ready = ::select(0, nullptr, &writable, &failed, &slice);
        if (ready < 0) {
          Fail();
          break;
        }
        if (ready == 0) continue;
        int error = 0;
        int len = sizeof error;
        if (::getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                         &len) != 0) {
          Fail();
        } else if (error != 0) {
          SetLastSocketError(error);
        } else if (FD_ISSET(Native(socket), &failed)) {
          SetLastSocketError(kWsaECONNREFUSED);
        } else {
          result = 0;
        }
        break;
      }
    }
  }
  const int lastError = LastSocketError();
  SetBlocking(socket, true);
  SetLastSocketError(lastError);
  return result;
}

}  // namespace

int ErrnoToSocketError(int err) {
  // Winsock reports its own numbers; only the C library's few socket-related errno values of
  // this platform are translated.
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETUNREACH:
      return 10051;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case EPIPE:
      return 10058;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EHOSTUNREACH:
      return 10065;
    default:
      return err;
  }
}

SocketHandle CreateSocket(int type, int protocol) {
  if (!StartWinsock()) return kInvalidSocket;
  const int osType = type == kSocketStream ? SOCK_STREAM : type;
  const SOCKET s = ::socket(AF_INET, osType, protocol);
  if (s == INVALID_SOCKET) {
    Fail();
    return kInvalidSocket;
  }
  NoInherit(s);
  return FromNative(s);
}

int BindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sa = MakeAddress(address, port);
  if (::bind(Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return 0;
}

int ListenSocket(SocketHandle socket, int backlog) {
  if (::listen(Native(socket), backlog) != 0) return Fail();
  return 0;
}

SocketHandle AcceptSocket(SocketHandle listening) {
  const SOCKET s = ::accept(Native(listening), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    Fail();
    return kInvalidSocket;
  }
  NoInherit(s);
  return FromNative(s);
}

int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port,
                  const std::atomic<bool>* cancel) {
  const sockaddr_in sa = MakeAddress(address, port);
  if (cancel != nullptr) return ConnectCancellable(socket, sa, cancel);
  if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
    return Fail();
  return 0;
}

long SendSocket(SocketHandle socket, const void* data, std::size_t length) {
  const int n = ::send(Native(socket), static_cast<const char*>(data), ClampLength(length), 0);
  return n == SOCKET_ERROR ? Fail() : n;
}

namespace {

// recv() after waiting at most waitMs (< 0: no wait) for the socket to become readable
// (data or a closed peer, so recv then returns at once); a wait that runs out is 10035.
long RecvWithin(SocketHandle socket, void* data, std::size_t length, int waitMs) {
  if (waitMs >= 0) {
    const int ready = WaitSocket(socket, false, waitMs);
    if (ready < 0) return -1;
    if (ready == 0) {
      SetLastSocketError(kWsaEWOULDBLOCK);
      return -1;
    }
  }
  const int n = ::recv(Native(socket), static_cast<char*>(data), ClampLength(length), 0);
  return n == SOCKET_ERROR ? Fail() : n;
}

}  // namespace

long RecvSocket(SocketHandle socket, void* data, std::size_t length) {
  const int timeoutMs = ReceiveTimeoutOf(socket);
  return RecvWithin(socket, data, length, timeoutMs > 0 ? timeoutMs : -1);
}

long RecvSocketNoWait(SocketHandle socket, void* data, std::size_t length) {
  return RecvWithin(socket, data, length, 0);
}

int SetSocketReceiveTimeout(SocketHandle socket, int timeoutMs) {
  std::lock_guard<std::mutex> hold(timeoutMutex);
  if (timeoutMs > 0)
    receiveTimeouts[Native(socket)] = timeoutMs;
  else
    receiveTimeouts.erase(Native(socket));
  return 0;
}

long SendSocketNoWait(SocketHandle socket, const void* data, std::size_t length) {
  // A blocking Winsock send waits until all of it is queued: switch to non-blocking for the call.
  if (SetBlocking(socket, false) != 0) return -1;
  const int n = ::send(Native(socket), static_cast<const char*>(data), ClampLength(length), 0);
  const int error = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
  SetBlocking(socket, true);
  if (n == SOCKET_ERROR) {
    SetLastSocketError(error);
    return -1;
  }
  return n;
}

int WaitSocketReadable(SocketHandle socket, int timeoutMs) {
  return WaitSocket(socket, false, timeoutMs);
}

int WaitSocketWritable(SocketHandle socket, int timeoutMs) {
  return WaitSocket(socket, true, timeoutMs);
}

int ShutdownSocketSend(SocketHandle socket) {
  if (::shutdown(Native(socket), SD_SEND) != 0) return Fail();
  return 0;
}

int ShutdownSocketBoth(SocketHandle socket) {
  if (::shutdown(Native(socket), SD_BOTH) != 0) return Fail();
  return 0;
}

int SetSocketResetOnClose(SocketHandle socket) {
  const linger l{1, 0};
  if (::setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                   sizeof l) != 0)
    return Fail();
  return 0;
}

long PeekSocket(SocketHandle socket, void* data, std::size_t length) {
  const int n = ::recv(Native(socket), static_cast<char*>(data),
                       static_cast<int>(std::min<std::size_t>(length, 1 << 30)), MSG_PEEK);
  if (n == SOCKET_ERROR) return Fail();
  return n;
}

int CloseSocket(SocketHandle socket) {
  ForgetSocket(socket);
  if (::closesocket(Native(socket)) != 0) return Fail();
  return 0;
}

int GetSocketName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  return ReadName(::getsockname, socket, address, port);
}

int GetPeerName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  return ReadName(::getpeername, socket, address, port);
}

int LookupHostIPv4(const std::string& name, std::uint32_t& address) {
  if (!StartWinsock()) return -1;
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
