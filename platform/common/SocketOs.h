// The per-OS half of the socket layer (private to platform/): the few calls whose form differs
// between POSIX sockets (platform/Socket.cpp) and Winsock (platform/win32/Socket.cpp).
// Everything else, the waits in slices included, is shared in platform/common/Socket.cpp.
//
// A failing call stores its error, in the Winsock numbering, with SetLastSocketError and
// returns -1 (or kInvalidSocket). None of these calls waits unless it says so.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

namespace veldra::platform::os {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr int kShutSend = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
// A SOCKET is kept in the int handle: Windows keeps handle values within 32 bits so that 32-
// and 64-bit programs can share them, and INVALID_SOCKET becomes -1 (kInvalidSocket).
inline NativeSocket Native(SocketHandle socket) {
  return static_cast<SOCKET>(static_cast<std::intptr_t>(socket));
}
#else
using NativeSocket = int;
constexpr int kShutSend = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
inline NativeSocket Native(SocketHandle socket) {
  return socket;
}
#endif

// Stores the last failed socket call's error (translated) as this thread's; returns -1.
int Fail();
// Makes the socket calls usable (Winsock's start, once per process). False (with the error
// stored) when they are not.
bool Start();
// A new socket / the next pending connection of a listening socket (which must be readable),
// neither inherited by started processes.
SocketHandle Create(int type, int protocol);
SocketHandle Accept(SocketHandle listening);
// One wait of at most ms (0: a look) for the socket to become readable or writable. 1 ready,
// 2 failed (a connect that did not succeed; Winsock only), 0 time-out, -1 failure (10004 when
// a signal cut it short).
int WaitOnce(SocketHandle socket, bool write, int ms);
// Send and receive without waiting (-1 with 10035 when they would have to); peek leaves the
// bytes where they are.
long SendNoWait(SocketHandle socket, const void* data, std::size_t length);
long RecvNoWait(SocketHandle socket, void* data, std::size_t length, bool peek);
int SetBlocking(SocketHandle socket, bool blocking);
int Close(SocketHandle socket);

}  // namespace veldra::platform::os
