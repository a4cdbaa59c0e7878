#include "net/IdSocketHandle.h"

#include <cstdio>

namespace platform = veldra::platform;

namespace {

std::string RangeMessage(const char* format, int low, int high) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, format, low, high);
  return buffer;
}

}  // namespace

TIdSocketHandle::TIdSocketHandle() = default;

TIdSocketHandle::~TIdSocketHandle() {
  TIdSocketHandle::ReleaseHandle();
}

void TIdSocketHandle::SetPeer(const std::string& ip, int port) {
  peerIP_ = ip;
  peerPort_ = port;
}

void TIdSocketHandle::AllocateHandle(int socketType, int protocol) {
  const bool wasAllocated = allocated_;
  ReleaseHandle();
  if (wasAllocated) ResetHandle(true);
  handle_ = stackUse_.Stack().CreateStreamSocket(socketType, protocol);
  allocated_ = true;
}

void TIdSocketHandle::ReleaseHandle() {
  if (!allocated_) return;
  allocated_ = false;
  platform::ShutdownSocketSend(handle_);
  platform::CloseSocket(handle_);
  handle_ = platform::kInvalidSocket;
}

void TIdSocketHandle::ResetHandle(bool resetLocal) {
  handle_ = platform::kInvalidSocket;
  allocated_ = false;
  peerIP_.clear();
  peerPort_ = 0;
  if (resetLocal) {
    ip_.clear();
    port_ = 0;
  }
}

void TIdSocketHandle::BindLocal() {
  if (port_ != 0 || clientPortMin_ == 0 || clientPortMax_ == 0) {
    if (!TryBindOnce()) {
      throw EIdCouldNotBindSocket("Could not bind socket. Address and port are already in use.");
    }
    return;
  }
  if (clientPortMax_ < clientPortMin_) {
    throw EIdInvalidPortRange(
        RangeMessage("Invalid Port Range (%d - %d)", clientPortMin_, clientPortMax_));
  }
  for (int port = clientPortMax_; port >= clientPortMin_; --port) {
    port_ = port;
    if (TryBindOnce()) return;
  }
  // Leave Port as "any" rather than the last port tried.
  port_ = 0;
  throw EIdCanNotBindPortInRange(
      RangeMessage("Can not bind in port range (%d - %d)", clientPortMin_, clientPortMax_));
}

bool TIdSocketHandle::TryBindOnce() {
  const std::uint32_t address = ip_.empty() ? 0 : TIdStack::DottedQuadToAddress(ip_);
  const int result =
      platform::BindSocket(handle_, address, static_cast<std::uint16_t>(port_ & 0xFFFF));
  if (stackUse_.Stack().CheckSocketResult(result, {platform::kWsaEADDRINUSE})) return false;
  std::uint32_t boundAddress = 0;
  std::uint16_t boundPort = 0;
  if (platform::GetSocketName(handle_, boundAddress, boundPort) == 0) {
    ip_ = TIdStack::AddressToDottedQuad(boundAddress);
    port_ = boundPort;
  }
  return true;
}

int TIdSocketHandle::ConnectPeer(const std::atomic<bool>* cancel) {
  const std::uint32_t address = TIdStack::DottedQuadToAddress(peerIP_);
  const int result = platform::ConnectSocket(
      handle_, address, static_cast<std::uint16_t>(peerPort_ & 0xFFFF), cancel);
  if (result == 0) ReadBackAddresses();
  return result;
}

void TIdSocketHandle::StartListen(int backlog) {
  stackUse_.Stack().CheckSocketResult(platform::ListenSocket(handle_, backlog));
}

bool TIdSocketHandle::AcceptFrom(platform::SocketHandle listening) {
  // The listening socket stays the caller's; anything else this handle held is closed.
  if (allocated_ && handle_ != listening) ReleaseHandle();
  ResetHandle(true);
  const platform::SocketHandle accepted = platform::AcceptSocket(listening);
  if (accepted == platform::kInvalidSocket &&
      stackUse_.Stack().CheckSocketResult(-1, {platform::kWsaENOTSOCK})) {
    return false;
  }
  handle_ = accepted;
  allocated_ = true;
  ReadBackAddresses();
  return true;
}

// The result of a wait; an interrupted one raises EIdInterrupted.
int TIdSocketHandle::CheckWait(int result) {
  if (result < 0 && platform::LastSocketError() == platform::kWsaEINTR)
    stackUse_.Stack().RaiseSocketError(platform::kWsaEINTR);
  return result;
}

bool TIdSocketHandle::WaitReadable(int timeout) {
  if (!allocated_) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  return CheckWait(platform::WaitSocketReadable(handle_, timeout < 0 ? -1 : timeout)) == 1;
}

long TIdSocketHandle::Recv(void* buffer, long length) {
  return RecvWithin(buffer, length, -1);
}

long TIdSocketHandle::RecvWithin(void* buffer, long length, int timeout) {
  if (!allocated_) throw EIdClosedSocket("Disconnected.");
  return platform::RecvSocket(handle_, buffer, static_cast<std::size_t>(length),
                              timeout < 0 ? -1 : timeout);
}

long TIdSocketHandle::PeekWithin(void* buffer, long length, int timeout) {
  if (!allocated_) throw EIdClosedSocket("Disconnected.");
  const int ready = platform::WaitSocketReadable(handle_, timeout < 0 ? -1 : timeout);
  if (ready < 0) return -1;
  if (ready == 0) {
    platform::SetLastSocketError(platform::kWsaEWOULDBLOCK);
    return -1;
  }
  return platform::PeekSocket(handle_, buffer, static_cast<std::size_t>(length));
}

long TIdSocketHandle::RecvNoWait(void* buffer, long length) {
  if (!allocated_) throw EIdClosedSocket("Disconnected.");
  return platform::RecvSocketNoWait(handle_, buffer, static_cast<std::size_t>(length));
}

long TIdSocketHandle::SendNoWait(const void* buffer, long length) {
  if (!allocated_) throw EIdClosedSocket("Disconnected.");
  return platform::SendSocketNoWait(handle_, buffer, static_cast<std::size_t>(length));
}

bool TIdSocketHandle::WaitWritable(int timeout) {
  if (!allocated_) throw EIdClosedSocket("Disconnected.");
  return CheckWait(platform::WaitSocketWritable(handle_, timeout < 0 ? -1 : timeout)) != 0;
}

long TIdSocketHandle::Send(const void* buffer, long length) {
  if (!allocated_) throw EIdClosedSocket("Disconnected.");
  return platform::SendSocket(handle_, buffer, static_cast<std::size_t>(length));
}

void TIdSocketHandle::AttachHandle(platform::UniqueSocket socket) {
  ReleaseHandle();
  ResetHandle(true);
  if (!socket.Valid()) return;
  handle_ = socket.Release();
  allocated_ = true;
  ReadBackAddresses();
}

platform::UniqueSocket TIdSocketHandle::DetachHandle() {
  platform::UniqueSocket socket(allocated_ ? handle_ : platform::kInvalidSocket);
  ResetHandle(true);
  return socket;
}

void TIdSocketHandle::ReadBackAddresses() {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  if (platform::GetSocketName(handle_, address, port) == 0) {
    ip_ = TIdStack::AddressToDottedQuad(address);
    port_ = port;
  }
  if (platform::GetPeerName(handle_, address, port) == 0) {
    peerIP_ = TIdStack::AddressToDottedQuad(address);
    peerPort_ = port;
  }
}
