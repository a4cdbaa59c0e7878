#include "ftp/IdSimpleServer.h"

#include <chrono>

#include "net/IdSocketHandle.h"

namespace {
constexpr int kListenBacklog = 15;
}

TIdSimpleServer::TIdSimpleServer() = default;

TIdSimpleServer::~TIdSimpleServer() {
  // The handler's destructor closes the binding's socket and detaches it from this
  // connection; a listening socket that the binding no longer holds is closed here.
  CloseListenSocket();
  handler_.reset();
}

void TIdSimpleServer::RequestAbort() {
  AbortRequested = true;
}

void TIdSimpleServer::ResetListener() {
  ResetInput();
}

void TIdSimpleServer::ResetInput() {
  TIdTCPConnection::ResetInput();
  AbortRequested = false;
  isListening_ = false;
  CloseListenSocket();
  handler_.reset();
}

void TIdSimpleServer::CloseListenSocket() {
  if (listenSocket_ == veldra::platform::kInvalidSocket) return;
  TIdSocketHandle* binding = Binding();
  if (binding != nullptr && binding->HandleAllocated() && binding->Handle() == listenSocket_)
    binding->ReleaseHandle();  // still the binding's own socket: it closes it
  else
    veldra::platform::CloseSocket(listenSocket_);
  listenSocket_ = veldra::platform::kInvalidSocket;
}

bool TIdSimpleServer::WaitListenReadable(int timeoutMs) {
  return veldra::platform::WaitSocketReadable(listenSocket_, timeoutMs) == 1;
}

void TIdSimpleServer::BindListenSocket() {
  TIdSocketHandle* binding = Binding();
  if (binding == nullptr) throw EIdNotConnected("Not Connected");
  try {
    binding->AllocateHandle(veldra::platform::kSocketStream, 0);
    listenSocket_ = binding->Handle();
    binding->SetIP(BoundIP);
    binding->SetPort(BoundPort);
    binding->BindLocal();
  } catch (...) {
    listenSocket_ = veldra::platform::kInvalidSocket;
    binding->ReleaseHandle();
    throw;
  }
}

void TIdSimpleServer::StartListening() {
  try {
    if (Binding() == nullptr) {
      ResetInput();
      handler_ = std::make_unique<TIdIOHandlerSocket>();
      SetIOHandler(handler_.get());
      handler_->Open();
    }
    if (listenSocket_ == veldra::platform::kInvalidSocket) BindListenSocket();
    Binding()->StartListen(kListenBacklog);
    isListening_ = true;
  } catch (...) {
    isListening_ = false;
    CloseListenSocket();
    handler_.reset();
    throw;
  }
}

bool TIdSimpleServer::AcceptConnection() {
  if (!isListening_) StartListening();
  TIdSocketHandle* binding = Binding();
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(AcceptTimeout);
  bool accepted = false;
  bool timedOut = false;
  while (!accepted && !AbortRequested) {
    bool pending = false;
    // Waits in slices so that RequestAbort from another thread is noticed; no busy polling.
    while (!AbortRequested) {
      int slice = AcceptPollMs > 0 ? AcceptPollMs : 50;
      if (AcceptTimeout > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
          timedOut = true;
          break;
        }
        if (left < slice) slice = static_cast<int>(left);
      }
      if (WaitListenReadable(slice)) {
        pending = true;
        break;
      }
    }
    if (!pending || AbortRequested) break;
    try {
      accepted = binding->AcceptFrom(listenSocket_);
    } catch (...) {
      CloseListenSocket();
      isListening_ = false;
      throw;
    }
    if (accepted && !AllowedPeerIP.empty() && binding->PeerIP() != AllowedPeerIP) {
      // Not the server: a third party that raced it to the announced port. Drop it and keep
      // listening for the real data connection.
      binding->ReleaseHandle();
      accepted = false;
    }
  }
  CloseListenSocket();
  isListening_ = false;
  if (timedOut) throw EIdAcceptTimeout("Accept timed out.");
  return accepted;
}
