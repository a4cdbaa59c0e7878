// The socket layer under the transport's socket stack: the only socket calls of the program,
// for both builds (one shared source, platform/common/Socket.cpp, over a small per-OS part).
//
// Failures are reported the way the transport expects them: the call returns -1 (or
// kInvalidSocket) and LastSocketError() gives the error in the Winsock numbering
// (ECONNREFUSED -> 10061, ETIMEDOUT -> 10060, a failed name lookup -> 11001, ...), so that
// codes and messages are the same on every platform.
//
// Every wait (readable, writable, accept, connect, and the receive and send that wait) runs in
// slices of at most kInterruptSliceMs. Between slices, and when a signal cuts one short, the
// calling thread's interrupt check (platform/Interrupt.h) is asked; when it answers true the wait
// gives up with -1 and error 10004 (kWsaEINTR, "interrupted"). A wait without a check installed
// is not affected.
//
// Addresses are IPv4 only, held as a 32-bit number in host order whose most significant byte
// is the first field of the dotted quad (127.0.0.1 is 0x7F000001).
//
// Thread rules: every function may be called from any thread. The last error and the
// interrupt check are kept per thread; the last error is set by the failing call and stays
// until the next failing call of that thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Interrupt.h"

namespace veldra::platform {

using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;

// Socket type and protocol values as the transport passes them (stream = 1, protocol 0).
constexpr int kSocketStream = 1;

// Winsock error numbers the transport names in code.
constexpr int kWsaEINTR = 10004;
constexpr int kWsaEBADF = 10009;
constexpr int kWsaEINVAL = 10022;
constexpr int kWsaEWOULDBLOCK = 10035;
constexpr int kWsaEINPROGRESS = 10036;
constexpr int kWsaENOTSOCK = 10038;
constexpr int kWsaEAFNOSUPPORT = 10047;
constexpr int kWsaEADDRINUSE = 10048;
constexpr int kWsaECONNABORTED = 10053;
constexpr int kWsaECONNRESET = 10054;
constexpr int kWsaENOTCONN = 10057;
constexpr int kWsaESHUTDOWN = 10058;
constexpr int kWsaETIMEDOUT = 10060;
constexpr int kWsaECONNREFUSED = 10061;
constexpr int kWsaHostNotFound = 11001;

#ifndef _WIN32
// errno value -> Winsock number (the one translation table; Winsock reports its own numbers).
// Values without a Winsock counterpart are returned unchanged.
int ErrnoToSocketError(int err);
#endif

// The Winsock-numbered error of this thread's last failed call of this file (0 if none).
int LastSocketError();
// Sets this thread's last socket error (used when a failure is detected above the OS call).
void SetLastSocketError(int code);

// Owns one socket handle and closes it on destruction. Move-only.
class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SocketHandle handle) : handle_(handle) {}
  UniqueSocket(UniqueSocket&& other) noexcept : handle_(other.Release()) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept;
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() { Reset(); }

  SocketHandle Get() const { return handle_; }
  bool Valid() const { return handle_ != kInvalidSocket; }
  // Gives up ownership without closing.
  SocketHandle Release();
  // Closes the held socket (if any) and holds `handle` instead.
  void Reset(SocketHandle handle = kInvalidSocket);

 private:
  SocketHandle handle_ = kInvalidSocket;
};

// A new IPv4 socket of `type` (kSocketStream) and `protocol`, not inherited by started
// processes. Returns kInvalidSocket on failure.
SocketHandle CreateSocket(int type, int protocol);

// bind() to address:port (address 0 = any, port 0 = chosen by the system). 0 or -1.
int BindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port);

// listen(). 0 or -1.
int ListenSocket(SocketHandle socket, int backlog);

// Waits (without limit, interruptible) for a connection and accepts it; the new socket is not
// inherited by started processes. Returns kInvalidSocket on failure.
SocketHandle AcceptSocket(SocketHandle listening);

// connect() to address:port, waiting for its outcome for as long as the OS lets it
// (interruptible). With `cancel` given the wait also gives up with -1 and error 10004 soon
// (within about 20 ms) after *cancel becomes true. The socket is left blocking. 0 or -1.
int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port,
                  const std::atomic<bool>* cancel = nullptr);

// send() of at most `length` bytes, waiting (without limit, interruptible) until some can be
// queued; never raises SIGPIPE (a closed peer gives -1 with 10058/10054). Returns the count
// sent or -1.
long SendSocket(SocketHandle socket, const void* data, std::size_t length);

// send() that never waits: -1 with 10035 (would block) when the socket buffer is full.
long SendSocketNoWait(SocketHandle socket, const void* data, std::size_t length);

// recv() of at most `length` bytes that waits at most timeoutMs for the first byte (< 0:
// without limit; 0: not at all). Returns the count (0 = the peer closed), or -1 with 10035
// when nothing came in time. One system call when bytes are waiting already.
long RecvSocket(SocketHandle socket, void* data, std::size_t length, int timeoutMs = -1);

// recv() that never waits: -1 with 10035 (would block) when nothing has arrived yet.
long RecvSocketNoWait(SocketHandle socket, void* data, std::size_t length);

// Looks at what has arrived without consuming it and without waiting: the count (0 = the peer
// closed), or -1 with 10035 when nothing has arrived yet.
long PeekSocket(SocketHandle socket, void* data, std::size_t length);

// Waits until the socket is readable (data, a pending connection, or a closed peer) / can
// take more bytes to send (or has failed). timeoutMs < 0 waits without limit. Returns 1 when
// ready, 0 on time-out, -1 on failure (10004 when interrupted).
int WaitSocketReadable(SocketHandle socket, int timeoutMs);
int WaitSocketWritable(SocketHandle socket, int timeoutMs);

// shutdown() of the sending direction. 0 or -1.
int ShutdownSocketSend(SocketHandle socket);

// shutdown() of both directions: a thread blocked on the socket returns at once. 0 or -1.
int ShutdownSocketBoth(SocketHandle socket);

// Makes the next close reset the connection (RST) instead of closing it in order. 0 or -1.
int SetSocketResetOnClose(SocketHandle socket);

// close(). 0 or -1.
int CloseSocket(SocketHandle socket);

// getsockname()/getpeername() of an IPv4 socket. 0 or -1 (a non-IPv4 socket gives -1 with
// 10047).
int GetSocketName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port);
int GetPeerName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port);

// Looks up the IPv4 addresses of a host name and gives the first. 0, or -1 with error 11001
// when the name does not resolve.
int LookupHostIPv4(const std::string& name, std::uint32_t& address);

}  // namespace veldra::platform
