// The parts of the socket layer that both builds share: the per-thread last error and the
// socket owner.
#include "platform/Socket.h"

namespace veldra::platform {
namespace {

thread_local int tLastSocketError = 0;

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

}  // namespace veldra::platform
