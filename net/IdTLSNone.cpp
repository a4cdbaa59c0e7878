// The build without TLS (Windows): the same classes, and any request for TLS is refused.
#include "net/IdTLS.h"

namespace {
const char* const kNoTLS = "TLS is not available in this build.";
}

bool IdTLSAvailable() {
  return false;
}

TIdTLSContext::TIdTLSContext(const std::string& peerName, const std::string& pin)
    : peerName_(peerName), pin_(NormaliseCertificatePin(pin)) {
  throw EIdTLSError(kNoTLS);
}

TIdTLSContext::~TIdTLSContext() = default;

void TIdTLSContext::KeepResumableSession(ssl_session_st*) {}

TIdIOHandlerTLS::TIdIOHandlerTLS(std::shared_ptr<TIdTLSContext> context, TIdTLSRole role)
    : context_(std::move(context)), role_(role) {}

TIdIOHandlerTLS::~TIdIOHandlerTLS() {
  Close();
}

void TIdIOHandlerTLS::RequestTLS(int timeoutMs) {
  timeoutMs_ = timeoutMs;
  state_ = TState::Pending;
}

void TIdIOHandlerTLS::StartTLS(int) {
  throw EIdTLSError(kNoTLS);
}

void TIdIOHandlerTLS::EnsureStarted() {
  if (state_ != TState::Plain) throw EIdTLSError(kNoTLS);
}

std::string TIdIOHandlerTLS::Description() const {
  return std::string();
}

bool TIdIOHandlerTLS::SessionReused() const {
  return false;
}

void TIdIOHandlerTLS::Open() {
  state_ = TState::Plain;
  TIdIOHandlerSocket::Open();
}

void TIdIOHandlerTLS::Close() {
  TIdIOHandlerSocket::Close();
}

bool TIdIOHandlerTLS::WaitReadable(int timeout) {
  return TIdIOHandlerSocket::WaitReadable(timeout);
}

long TIdIOHandlerTLS::Recv(void* buffer, long length) {
  EnsureStarted();
  return TIdIOHandlerSocket::Recv(buffer, length);
}

long TIdIOHandlerTLS::RecvWithin(void* buffer, long length, int timeout) {
  EnsureStarted();
  return TIdIOHandlerSocket::RecvWithin(buffer, length, timeout);
}

long TIdIOHandlerTLS::PeekWithin(void* buffer, long length, int timeout) {
  EnsureStarted();
  return TIdIOHandlerSocket::PeekWithin(buffer, length, timeout);
}

long TIdIOHandlerTLS::RecvNoWait(void* buffer, long length) {
  EnsureStarted();
  return TIdIOHandlerSocket::RecvNoWait(buffer, length);
}

long TIdIOHandlerTLS::Send(const void* buffer, long length) {
  EnsureStarted();
  return TIdIOHandlerSocket::Send(buffer, length);
}

long TIdIOHandlerTLS::SendNoWait(const void* buffer, long length) {
  EnsureStarted();
  return TIdIOHandlerSocket::SendNoWait(buffer, length);
}

long TIdIOHandlerTLS::BioRead(char*, int) {
  return -1;
}

long TIdIOHandlerTLS::BioWrite(const char*, int) {
  return -1;
}

int TIdIOHandlerTLS::OnVerify(int, void*) {
  return 0;
}

int TIdIOHandlerTLS::OnNewSession(ssl_session_st*) {
  return 0;
}
