// The socket layer of both builds (see platform/Socket.h): the calls that are the same on
// every system, the waits in slices with the interrupt check, the connect loop, names and
// name lookup, the last error and the socket owner. The per-OS part is behind SocketOs.h.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/common/SocketOs.h"

namespace veldra::platform {
namespace {

thread_local int tLastSocketError = 0;

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, never negative.
int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

int Interrupted() {
  SetLastSocketError(kWsaEINTR);
  return -1;
}

// Waits in slices until the socket is ready, the time runs out (timeoutMs < 0: never) or the
// thread's interrupt check (or *cancel) asks to stop. The check runs between slices and after
// a signal, never before the first look, so a ready socket is never refused.
int WaitInSlices(SocketHandle socket, bool write, int timeoutMs, int sliceMs = kInterruptSliceMs,
                 const std::atomic<bool>* cancel = nullptr) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    const int left = timeoutMs < 0 ? sliceMs : MsLeft(deadline);
    const int ready = os::WaitOnce(socket, write, std::min(sliceMs, left));
    if (ready > 0) return ready;
    if (ready < 0 && LastSocketError() != kWsaEINTR) return -1;
    if (timeoutMs >= 0 && MsLeft(deadline) == 0) return 0;
    if (InterruptRequested() || (cancel != nullptr && cancel->load())) return Interrupted();
  }
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

using NameCall = decltype(&::getsockname);

int ReadName(NameCall call, SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (call(os::Native(socket), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return os::Fail();
  if (ss.ss_family != AF_INET) {
    SetLastSocketError(kWsaEAFNOSUPPORT);
    return -1;
  }
  const auto* sa = reinterpret_cast<const sockaddr_in*>(&ss);
  address = ntohl(sa->sin_addr.s_addr);
  port = ntohs(sa->sin_port);
  return 0;
}

// The outcome of a connect in progress, waited for in slices.
int FinishConnect(SocketHandle socket, const std::atomic<bool>* cancel) {
  // A cancel flag is watched closely: its owner joins this thread right after setting it.
  const int ready =
      WaitInSlices(socket, true, -1, cancel != nullptr ? 20 : kInterruptSliceMs, cancel);
  if (ready < 0) return -1;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(os::Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &len) != 0)
    return os::Fail();
#ifndef _WIN32
  error = ErrnoToSocketError(error);
#endif
  if (error == 0 && ready == 2) error = kWsaECONNREFUSED;
  if (error == 0) return 0;
  SetLastSocketError(error);
  return -1;
}

}  // namespace

int LastSocketError() {
  return tLastSocketError;
}

void SetLastSocketError(int code) {
  tLastSocketError = code;
}

UniqueSocket& UniqueSocket::operator=(UniqueSocket&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

SocketHandle UniqueSocket::Release() {
  const SocketHandle handle = handle_;
  handle_ = kInvalidSocket;
  return handle;
}

void UniqueSocket::Reset(SocketHandle handle) {
  if (handle_ != kInvalidSocket && handle_ != handle) CloseSocket(handle_);
  handle_ = handle;
}

SocketHandle CreateSocket(int type, int protocol) {
  if (!os::Start()) return kInvalidSocket;
  return os::Create(type == kSocketStream ? SOCK_STREAM : type, protocol);
}

int BindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sa = MakeAddress(address, port);
  if (::bind(os::Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
    return os::Fail();
  return 0;
}

int ListenSocket(SocketHandle socket, int backlog) {
  return ::listen(os::Native(socket), backlog) == 0 ? 0 : os::Fail();
}

SocketHandle AcceptSocket(SocketHandle listening) {
  return WaitInSlices(listening, false, -1) < 0 ? kInvalidSocket : os::Accept(listening);
}

int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port,
                  const std::atomic<bool>* cancel) {
  // Non-blocking, so that the wait for the outcome runs in slices.
  if (os::SetBlocking(socket, false) != 0) return -1;
  const sockaddr_in sa = MakeAddress(address, port);
  int result = 0;
  if (::connect(os::Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    os::Fail();
    const int error = LastSocketError();
    // In progress (Winsock says "would block"); a signal leaves it going on, too.
    const bool pending = error == kWsaEINPROGRESS || error == kWsaEWOULDBLOCK || error == kWsaEINTR;
    result = pending ? FinishConnect(socket, cancel) : -1;
  }
  const int error = LastSocketError();
  os::SetBlocking(socket, true);
  SetLastSocketError(error);
  return result;
}

long SendSocket(SocketHandle socket, const void* data, std::size_t length) {
  for (;;) {
    const long n = os::SendNoWait(socket, data, length);
    if (n >= 0 || LastSocketError() != kWsaEWOULDBLOCK) return n;
    if (WaitInSlices(socket, true, -1) < 0) return -1;
  }
}

long SendSocketNoWait(SocketHandle socket, const void* data, std::size_t length) {
  return os::SendNoWait(socket, data, length);
}

long RecvSocket(SocketHandle socket, void* data, std::size_t length, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    const long n = os::RecvNoWait(socket, data, length, false);
    if (n >= 0 || LastSocketError() != kWsaEWOULDBLOCK) return n;
    const int left = timeoutMs < 0 ? -1 : MsLeft(deadline);
    const int ready = left == 0 ? 0 : WaitInSlices(socket, false, left);
    if (ready < 0) return -1;
    if (ready == 0) {
      SetLastSocketError(kWsaEWOULDBLOCK);
      return -1;
    }
  }
}

long RecvSocketNoWait(SocketHandle socket, void* data, std::size_t length) {
  return os::RecvNoWait(socket, data, length, false);
}

long PeekSocket(SocketHandle socket, void* data, std::size_t length) {
  return os::RecvNoWait(socket, data, length, true);
}

int WaitSocketReadable(SocketHandle socket, int timeoutMs) {
  return std::min(WaitInSlices(socket, false, timeoutMs), 1);
}

int WaitSocketWritable(SocketHandle socket, int timeoutMs) {
  return std::min(WaitInSlices(socket, true, timeoutMs), 1);
}

int ShutdownSocketSend(SocketHandle socket) {
  return ::shutdown(os::Native(socket), os::kShutSend) == 0 ? 0 : os::Fail();
}

int ShutdownSocketBoth(SocketHandle socket) {
  return ::shutdown(os::Native(socket), os::kShutBoth) == 0 ? 0 : os::Fail();
}

int SetSocketResetOnClose(SocketHandle socket) {
  const linger l{1, 0};
  if (::setsockopt(os::Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                   sizeof l) != 0)
    return os::Fail();
  return 0;
}

int CloseSocket(SocketHandle socket) {
  return os::Close(socket);
}

int GetSocketName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  return ReadName(::getsockname, socket, address, port);
}

int GetPeerName(SocketHandle socket, std::uint32_t& address, std::uint16_t& port) {
  return ReadName(::getpeername, socket, address, port);
}

int LookupHostIPv4(const std::string& name, std::uint32_t& address) {
  if (!os::Start()) return -1;
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
  address = ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return 0;
}

}  // namespace veldra::platform
