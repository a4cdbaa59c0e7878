// The Winsock part of the socket layer (see platform/common/SocketOs.h). Winsock's own error
// numbers are the ones the transport expects, so errors are passed on unchanged.
//
// Receive time-outs are never set on a socket (one whose SO_RCVTIMEO expired is left in an
// undefined state): every wait is a select before the call, which then does not block.
#include <climits>

#include "platform/common/SocketOs.h"

namespace veldra::platform::os {
namespace {

int ClampLength(std::size_t length) {
  return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

// Marks a new socket as not inherited by started processes (the background copy).
SocketHandle NotInherited(SOCKET socket) {
  if (socket == INVALID_SOCKET) return Fail();
  ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  return static_cast<SocketHandle>(static_cast<std::intptr_t>(socket));
}

}  // namespace

int Fail() {
  SetLastSocketError(::WSAGetLastError());
  return -1;
}

// Winsock 2.2 is started once for the process, at the first socket or name query; it stays
// up until the process ends.
bool Start() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) SetLastSocketError(WSANOTINITIALISED);
  return started;
}

SocketHandle Create(int type, int protocol) {
  return NotInherited(::socket(AF_INET, type, protocol));
}

SocketHandle Accept(SocketHandle listening) {
  return NotInherited(::accept(Native(listening), nullptr, nullptr));
}

int WaitOnce(SocketHandle socket, bool write, int ms) {
  // A failed connect shows in the exception set, not as writable.
  fd_set wanted;
  fd_set failed;
  FD_ZERO(&wanted);
  FD_ZERO(&failed);
  FD_SET(Native(socket), &wanted);
  FD_SET(Native(socket), &failed);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  const int ready = ::select(0, write ? nullptr : &wanted, write ? &wanted : nullptr, &failed, &tv);
  if (ready < 0) return Fail();
  if (ready == 0) return 0;
  return FD_ISSET(Native(socket), &wanted) ? 1 : 2;
}

long SendNoWait(SocketHandle socket, const void* data, std::size_t length) {
  // A blocking Winsock send waits until all of it is queued: switch to non-blocking for the call.
  if (SetBlocking(socket, false) != 0) return -1;
  const int n = ::send(Native(socket), static_cast<const char*>(data), ClampLength(length), 0);
  const int error = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
  SetBlocking(socket, true);
  if (n != SOCKET_ERROR) return n;
  SetLastSocketError(error);
  return -1;
}

long RecvNoWait(SocketHandle socket, void* data, std::size_t length, bool peek) {
  // Readable (data or a closed peer) means the recv returns at once.
  const int ready = WaitOnce(socket, false, 0);
  if (ready < 0) return -1;
  if (ready == 0) {
    SetLastSocketError(kWsaEWOULDBLOCK);
    return -1;
  }
  const int n =
      ::recv(Native(socket), static_cast<char*>(data), ClampLength(length), peek ? MSG_PEEK : 0);
  return n == SOCKET_ERROR ? Fail() : n;
}

int SetBlocking(SocketHandle socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ::ioctlsocket(Native(socket), FIONBIO, &nonBlocking) == 0 ? 0 : Fail();
}

int Close(SocketHandle socket) {
  return ::closesocket(Native(socket)) == 0 ? 0 : Fail();
}

}  // namespace veldra::platform::os
