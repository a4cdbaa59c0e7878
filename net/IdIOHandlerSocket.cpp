#include "net/IdIOHandlerSocket.h"

#include <algorithm>
#include <chrono>

#include "net/IdTCPConnection.h"

namespace platform = veldra::platform;

// --- TIdConnectThread -------------------------------------------------------------------

TIdConnectThread::TIdConnectThread(TIdSocketHandle& binding) : binding_(binding) {
  thread_ = std::thread([this] { Run(); });
}

TIdConnectThread::~TIdConnectThread() {
  TerminateAndWait();
}

void TIdConnectThread::Run() {
  std::string message;
  try {
    const int result = binding_.ConnectPeer(&terminated_);
    // 10004: we gave up on request; 10009/10038: the socket went away under the connect.
    GStack().CheckSocketResult(result,
                               {platform::kWsaEINTR, platform::kWsaEBADF, platform::kWsaENOTSOCK});
  } catch (const std::exception& e) {
    message = e.what();
    if (message.empty()) message = "Connect failed.";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  errorMessage_ = std::move(message);
  finished_ = true;
  finishedCv_.notify_all();
}

bool TIdConnectThread::WaitFinished(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutMs < 0) {
    finishedCv_.wait(lock, [this] { return finished_; });
    return true;
  }
  return finishedCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return finished_; });
}

bool TIdConnectThread::Finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

std::string TIdConnectThread::ErrorMessage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errorMessage_;
}

void TIdConnectThread::TerminateAndWait() {
  terminated_.store(true);
  if (thread_.joinable()) thread_.join();
}

// --- TIdIOHandlerSocket -----------------------------------------------------------------

TIdIOHandlerSocket::TIdIOHandlerSocket() = default;

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  Close();
  if (connection_ != nullptr) connection_->HandlerDestroyed(this);
}

void TIdIOHandlerSocket::Open() {
  if (!binding_) {
    binding_ = std::make_unique<TIdSocketHandle>();
    return;
  }
  binding_->ReleaseHandle();
  binding_->ResetHandle(true);
}

void TIdIOHandlerSocket::Close() {
  if (binding_) binding_->ReleaseHandle();
}

bool TIdIOHandlerSocket::Connected() const {
  return binding_ && binding_->HandleAllocated();
}

void TIdIOHandlerSocket::OpenClientSocket(const std::string& host, int port, int timeout,
                                          int boundPortMax, int boundPortMin, int boundPort,
                                          const std::string& boundIP) {
  if (!binding_) Open();
  TIdSocketHandle& binding = *binding_;
  binding.AllocateHandle(platform::kSocketStream, 0);
  binding.SetIP(boundIP);
  binding.SetPort(boundPort);
  binding.SetClientPortMin(boundPortMin);
  binding.SetClientPortMax(boundPortMax);
  binding.BindLocal();
  binding.SetPeer(stackUse_.Stack().ResolveHostAddress(host), port);
  if (timeout != -1 && timeout != 0) {
    ConnectWithTimeout(timeout);
  } else {
    stackUse_.Stack().CheckSocketResult(binding.ConnectPeer());
  }
}

void TIdIOHandlerSocket::ConnectWithTimeout(int timeout) {
  TIdConnectThread thread(*binding_);
  // The caller's wait runs in slices: the interrupt check is this thread's, not the helper's.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  bool interrupted = false;
  for (;;) {
    int slice = platform::kInterruptSliceMs;
    if (timeout >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      slice = static_cast<int>(std::max<long long>(0, std::min<long long>(left, slice)));
    }
    if (thread.WaitFinished(slice)) {
      const std::string message = thread.ErrorMessage();
      if (!message.empty()) throw EIdConnectException(message);
      return;
    }
    if (timeout >= 0 && std::chrono::steady_clock::now() >= deadline) break;
    if ((interrupted = platform::InterruptRequested())) break;
  }
  // Stop the connect first, then close: closing a socket another thread still waits on
  // could hand its number to an unrelated new socket.
  thread.TerminateAndWait();
  binding_->ReleaseHandle();
  if (interrupted) stackUse_.Stack().RaiseSocketError(platform::kWsaEINTR);
  throw EIdConnectTimeout("Connect timed out.");
}

bool TIdIOHandlerSocket::WaitReadable(int timeout) {
  if (!binding_) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  return binding_->WaitReadable(timeout);
}

long TIdIOHandlerSocket::Recv(void* buffer, long length) {
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  return binding_->Recv(buffer, length);
}

long TIdIOHandlerSocket::RecvWithin(void* buffer, long length, int timeout) {
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  return binding_->RecvWithin(buffer, length, timeout);
}

long TIdIOHandlerSocket::PeekWithin(void* buffer, long length, int timeout) {
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  return binding_->PeekWithin(buffer, length, timeout);
}

long TIdIOHandlerSocket::RecvNoWait(void* buffer, long length) {
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  return binding_->RecvNoWait(buffer, length);
}

long TIdIOHandlerSocket::SendNoWait(const void* buffer, long length) {
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  return binding_->SendNoWait(buffer, length);
}

bool TIdIOHandlerSocket::WaitWritable(int timeout) {
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  return binding_->WaitWritable(timeout);
}

long TIdIOHandlerSocket::Send(const void* buffer, long length) {
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  return binding_->Send(buffer, length);
}
