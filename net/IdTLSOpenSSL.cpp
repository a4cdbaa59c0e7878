// TLS through OpenSSL. The library reads and writes through a BIO of our own that calls the
// handler's binding, so every socket call stays in the platform layer, waits keep the
// transport's time-out rules, and errors keep its Winsock numbering.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>

#include "net/IdStack.h"
#include "net/IdTLS.h"
#include "platform/Socket.h"

namespace platform = veldra::platform;

namespace {

// One socket read hands the library up to this much, so a fast transfer costs one system
// call per 256 KiB rather than two per 16 KiB record.
constexpr int kReadBufferBytes = 256 * 1024;
// Bound of the close when the handshake had none.
constexpr int kDefaultCloseWaitMs = 30000;
// How long, and how much, a close reads from a download still flowing before it gives up
// waiting for the server to close (it has been sent ABOR, or nothing at all).
constexpr int kAbortDrainMs = 1000;
constexpr long long kAbortDrainBytes = 16LL * 1024 * 1024;
// BIO results beside counts: the call would have to wait.
constexpr long kRetry = -2;

int HandlerIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

TIdIOHandlerTLS* HandlerOf(const SSL* ssl) {
  return ssl ? static_cast<TIdIOHandlerTLS*>(SSL_get_ex_data(ssl, HandlerIndex())) : nullptr;
}

int BioWriteCallback(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  const long n = static_cast<TIdIOHandlerTLS*>(BIO_get_data(bio))->BioWrite(data, length);
  if (n == kRetry) {
    BIO_set_retry_write(bio);
    return -1;
  }
  return static_cast<int>(n);
}

int BioReadCallback(BIO* bio, char* buffer, int length) {
  BIO_clear_retry_flags(bio);
  const long n = static_cast<TIdIOHandlerTLS*>(BIO_get_data(bio))->BioRead(buffer, length);
  if (n == kRetry) {
    BIO_set_retry_read(bio);
    return -1;
  }
  return static_cast<int>(n);
}

long BioCtrlCallback(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_FLUSH) return 1;  // nothing is buffered here
  // The library tells a peer's plain close from a failed read by asking for the end.
  if (command == BIO_CTRL_EOF) return static_cast<TIdIOHandlerTLS*>(BIO_get_data(bio))->BioAtEnd();
  return 0;
}

int BioCreateCallback(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "veldra socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWriteCallback);
      BIO_meth_set_read(m, BioReadCallback);
      BIO_meth_set_ctrl(m, BioCtrlCallback);
      BIO_meth_set_create(m, BioCreateCallback);
    }
    return m;
  }();
  return method;
}

int VerifyCallback(int preverifyOk, X509_STORE_CTX* store) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  TIdIOHandlerTLS* handler = HandlerOf(ssl);
  return handler ? handler->OnVerify(preverifyOk, store) : 0;
}

int NewSessionCallback(SSL* ssl, SSL_SESSION* session) {
  TIdIOHandlerTLS* handler = HandlerOf(ssl);
  return handler ? handler->OnNewSession(session) : 0;
}

// SHA-256 of the certificate's DER form as "AB:CD:...".
std::string ColonFingerprint(const X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return std::string();
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

// "AB:CD:..." to "abcd...", the form of a normalised pin.
std::string BareHex(const std::string& colonForm) {
  std::string hex;
  for (char c : colonForm)
    if (c != ':') hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex;
}

// The library's queued errors, oldest first, "; "-separated (and the queue emptied).
std::string LibraryErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

bool UnannouncedEof() {
  const unsigned long code = ERR_peek_error();
  return ERR_GET_LIB(code) == ERR_LIB_SSL &&
         ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

}  // namespace

bool IdTLSAvailable() {
  return true;
}

// --- TIdTLSContext ----------------------------------------------------------------------

TIdTLSContext::TIdTLSContext(const std::string& peerName, const std::string& pin)
    : peerName_(peerName), pin_(NormaliseCertificatePin(pin)) {
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) throw EIdTLSError("TLS could not be set up: " + LibraryErrors());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION);
  // A send that would wait returns and is repeated with the same bytes by the transport.
  SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_read_ahead(ctx_, 1);
  SSL_CTX_set_default_read_buffer_len(ctx_, kReadBufferBytes);
  // Without the system's authorities nothing chains: every unpinned certificate is refused.
  SSL_CTX_set_default_verify_paths(ctx_);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, VerifyCallback);
  // Sessions are kept by hand: the one the server issues on the control connection (TLS 1.3
  // sends it after the handshake, with the first replies) is the one data connections resume.
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx_, NewSessionCallback);
  ERR_clear_error();
}

TIdTLSContext::~TIdTLSContext() {
  SSL_SESSION_free(resumable_);
  SSL_CTX_free(ctx_);
}

void TIdTLSContext::KeepResumableSession(ssl_session_st* session) {
  SSL_SESSION_free(resumable_);
  resumable_ = session;
}

// --- TIdIOHandlerTLS --------------------------------------------------------------------

TIdIOHandlerTLS::TIdIOHandlerTLS(std::shared_ptr<TIdTLSContext> context, TIdTLSRole role)
    : context_(std::move(context)), role_(role) {}

TIdIOHandlerTLS::~TIdIOHandlerTLS() {
  Close();
}

void TIdIOHandlerTLS::FreeTLS() {
  if (ssl_ != nullptr) SSL_free(ssl_);  // frees the BIO too
  ssl_ = nullptr;
  ERR_clear_error();
}

void TIdIOHandlerTLS::Fail(const std::string& what) {
  std::string message;
  if (pinRefused_) {
    message =
        "The server's certificate is not the pinned one (fingerprint mismatch); its "
        "SHA-256 fingerprint is " +
        fingerprint_ + ".";
  } else if (verifyError_ != 0) {
    message = std::string("The server's certificate was refused: ") +
              X509_verify_cert_error_string(verifyError_) + ". Its SHA-256 fingerprint is " +
              fingerprint_ + "; pin that fingerprint to accept exactly this certificate.";
  } else {
    const std::string details = LibraryErrors();
    message = what + (details.empty() ? std::string() : ": " + details);
  }
  FreeTLS();
  state_ = TState::Failed;
  throw EIdTLSError(message);
}

void TIdIOHandlerTLS::StartTLS(int timeoutMs) {
  if (state_ == TState::Up) return;
  if (state_ == TState::Failed) throw EIdTLSError("TLS failed on this connection.");
  if (!binding_ || !binding_->HandleAllocated()) throw EIdNotConnected("Not Connected");
  timeoutMs_ = timeoutMs;
  ResetTransferState();
  fingerprint_.clear();
  verifyError_ = 0;
  pinRefused_ = false;
  ERR_clear_error();
  FreeTLS();
  ssl_ = SSL_new(context_->ctx_);
  BIO* bio = ssl_ != nullptr ? BIO_new(SocketBioMethod()) : nullptr;
  if (bio == nullptr) Fail("TLS could not be set up");
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_ex_data(ssl_, HandlerIndex(), this);
  const std::string& name = context_->PeerName();
  if (TIdStack::IsDottedQuad(name)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, name.c_str());
    SSL_set1_host(ssl_, name.c_str());
  }
  // A copy: the library takes a TLS 1.3 session it has resumed as used up, while the server
  // still accepts its ticket, so every data connection can offer the same one.
  if (role_ == TIdTLSRole::Data && context_->resumable_ != nullptr) {
    SSL_SESSION* copy = SSL_SESSION_dup(context_->resumable_);
    SSL_set_session(ssl_, copy);
    SSL_SESSION_free(copy);
  }
  recvWaitMs_ = timeoutMs > 0 ? timeoutMs : -1;
  sendMode_ = TSendMode::Wait;
  sendWaitMs_ = recvWaitMs_;
  const int result = SSL_connect(ssl_);
  if (result != 1) {
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
      Fail("TLS handshake timed out.");
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
      Fail("TLS handshake failed: the server closed the connection");
    Fail("TLS handshake failed");
  }
  // A resumed session skips the certificate: it was checked on the control connection.
  if (!SSL_session_reused(ssl_)) {
    const X509* peer = SSL_get0_peer_certificate(ssl_);
    if (peer == nullptr) Fail("TLS handshake failed: the server sent no certificate");
    fingerprint_ = ColonFingerprint(peer);
    if (!context_->Pin().empty()) {
      pinRefused_ = BareHex(fingerprint_) != context_->Pin();
      if (pinRefused_) Fail("");
    } else if (SSL_get_verify_result(ssl_) != X509_V_OK) {
      verifyError_ = SSL_get_verify_result(ssl_);
      Fail("");
    }
  }
  state_ = TState::Up;
}

void TIdIOHandlerTLS::RequestTLS(int timeoutMs) {
  if (state_ == TState::Up) return;
  timeoutMs_ = timeoutMs;
  state_ = TState::Pending;
}

void TIdIOHandlerTLS::EnsureStarted() {
  if (state_ == TState::Failed) throw EIdTLSError("TLS failed on this connection.");
  if (state_ != TState::Up) StartTLS(timeoutMs_);
}

void TIdIOHandlerTLS::ResetTransferState() {
  receivedData_ = false;
  end_ = TEnd::None;
  endText_.clear();
  endSocketError_ = 0;
  socketError_ = 0;
  atEnd_ = false;
}

std::string TIdIOHandlerTLS::Description() const {
  if (state_ != TState::Up || ssl_ == nullptr) return std::string();
  return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

bool TIdIOHandlerTLS::SessionReused() const {
  return state_ == TState::Up && ssl_ != nullptr && SSL_session_reused(ssl_) == 1;
}

int TIdIOHandlerTLS::OnVerify(int preverifyOk, void* storeContext) {
  auto* store = static_cast<X509_STORE_CTX*>(storeContext);
  const X509* leaf = X509_STORE_CTX_get0_cert(store);
  if (fingerprint_.empty() && leaf != nullptr) fingerprint_ = ColonFingerprint(leaf);
  if (!context_->Pin().empty()) {
    // The pin replaces the whole check: exactly that certificate, whatever its chain or names.
    pinRefused_ = BareHex(fingerprint_) != context_->Pin();
    return pinRefused_ ? 0 : 1;
  }
  if (!preverifyOk && verifyError_ == 0) verifyError_ = X509_STORE_CTX_get_error(store);
  return preverifyOk;
}

int TIdIOHandlerTLS::OnNewSession(ssl_session_st* session) {
  // The sessions of the control connection, and those a data connection gets after resuming
  // one of them: servers may take a session once only (TLS 1.3 tickets), and these stay in
  // the control connection's line. A data connection that could not resume adds nothing.
  if (role_ == TIdTLSRole::Data && SSL_session_reused(ssl_) != 1) return 0;
  context_->KeepResumableSession(session);
  return 1;
}

long TIdIOHandlerTLS::BioRead(char* buffer, int length) {
  try {
    const long n = binding_->RecvWithin(buffer, length, recvWaitMs_);
    if (n == -1 && platform::LastSocketError() == platform::kWsaEWOULDBLOCK) return kRetry;
    atEnd_ = n == 0;
    socketError_ = n < 0 ? platform::LastSocketError() : 0;
    return n;
  } catch (const std::exception&) {
    socketError_ = platform::kWsaENOTSOCK;
    return -1;
  }
}

long TIdIOHandlerTLS::BioWrite(const char* data, int length) {
  try {
    long n;
    if (sendMode_ == TSendMode::NoWait) {
      n = binding_->SendNoWait(data, length);
      if (n == -1 && platform::LastSocketError() == platform::kWsaEWOULDBLOCK) return kRetry;
    } else if (sendWaitMs_ < 0) {
      n = binding_->Send(data, length);
    } else {
      using Clock = std::chrono::steady_clock;
      const auto deadline = Clock::now() + std::chrono::milliseconds(sendWaitMs_);
      for (;;) {
        n = binding_->SendNoWait(data, length);
        if (n != -1 || platform::LastSocketError() != platform::kWsaEWOULDBLOCK) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || !binding_->WaitWritable(static_cast<int>(left))) {
          platform::SetLastSocketError(platform::kWsaETIMEDOUT);
          break;
        }
      }
    }
    socketError_ = n < 0 ? platform::LastSocketError() : 0;
    return n;
  } catch (const std::exception&) {
    socketError_ = platform::kWsaENOTSOCK;
    return -1;
  }
}

long TIdIOHandlerTLS::EndOfData() {
  switch (end_) {
    case TEnd::Clean:
      return 0;
    case TEnd::SocketError:
      platform::SetLastSocketError(endSocketError_);
      return -1;
    case TEnd::Failure:
      throw EIdTLSError(endText_);
    case TEnd::None:
      break;
  }
  return 0;
}

void TIdIOHandlerTLS::NoteEnd(int error) {
  if (error == SSL_ERROR_ZERO_RETURN) {
    end_ = TEnd::Clean;  // close_notify: the data is complete
  } else if (UnannouncedEof() || (error == SSL_ERROR_SYSCALL && socketError_ == 0)) {
    // A control connection's replies are whole lines: a plain close is a close there. On a
    // data connection it may hide a cut: never taken for the end of the data.
    end_ = role_ == TIdTLSRole::Control ? TEnd::Clean : TEnd::Failure;
    endText_ =
        "The data connection was closed without a TLS close_notify: the transfer may be "
        "incomplete.";
    state_ = TState::Failed;
  } else if (error == SSL_ERROR_SYSCALL && socketError_ != 0) {
    end_ = TEnd::SocketError;
    endSocketError_ = socketError_;
    state_ = TState::Failed;
  } else {
    end_ = TEnd::Failure;
    const std::string details = LibraryErrors();
    endText_ = "TLS receive failed" + (details.empty() ? std::string() : ": " + details);
    state_ = TState::Failed;
  }
  ERR_clear_error();
}

long TIdIOHandlerTLS::Read(void* buffer, long length, int timeout) {
  if (state_ == TState::Plain) return TIdIOHandlerSocket::RecvWithin(buffer, length, timeout);
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  if (end_ != TEnd::None) return EndOfData();
  EnsureStarted();
  if (length <= 0) return 0;
  char* out = static_cast<char*>(buffer);
  long total = 0;
  int wait = timeout;
  while (total < length) {
    recvWaitMs_ = wait;
    ERR_clear_error();
    std::size_t n = 0;
    const int chunk = static_cast<int>(std::min<long>(length - total, INT_MAX));
    const int result = SSL_read_ex(ssl_, out + total, static_cast<std::size_t>(chunk), &n);
    if (result == 1) {
      total += static_cast<long>(n);
      wait = 0;  // more only when it is already there
      continue;
    }
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ) {
      if (total > 0) break;
      platform::SetLastSocketError(platform::kWsaEWOULDBLOCK);
      return -1;
    }
    NoteEnd(error);
    if (total > 0) break;  // the end is reported by the next receive
    return EndOfData();
  }
  receivedData_ = true;
  return total;
}

long TIdIOHandlerTLS::Write(const void* buffer, long length, TSendMode mode) {
  if (state_ == TState::Plain) {
    return mode == TSendMode::NoWait ? TIdIOHandlerSocket::SendNoWait(buffer, length)
                                     : TIdIOHandlerSocket::Send(buffer, length);
  }
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  EnsureStarted();
  if (length <= 0) return 0;
  sendMode_ = mode;
  sendWaitMs_ = -1;
  ERR_clear_error();
  std::size_t n = 0;
  const int result = SSL_write_ex(ssl_, buffer, static_cast<std::size_t>(length), &n);
  if (result == 1) return static_cast<long>(n);
  const int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_WRITE) {
    platform::SetLastSocketError(platform::kWsaEWOULDBLOCK);
    return -1;
  }
  if (error == SSL_ERROR_SYSCALL && socketError_ != 0) {
    state_ = TState::Failed;
    ERR_clear_error();
    platform::SetLastSocketError(socketError_);
    return -1;
  }
  Fail("TLS send failed");
}

long TIdIOHandlerTLS::Recv(void* buffer, long length) {
  return Read(buffer, length, -1);
}

long TIdIOHandlerTLS::RecvWithin(void* buffer, long length, int timeout) {
  return Read(buffer, length, timeout);
}

long TIdIOHandlerTLS::PeekWithin(void* buffer, long length, int timeout) {
  if (state_ == TState::Plain) return TIdIOHandlerSocket::PeekWithin(buffer, length, timeout);
  if (!binding_) throw EIdClosedSocket("Disconnected.");
  if (end_ != TEnd::None) return EndOfData();
  EnsureStarted();
  if (length <= 0) return 0;
  recvWaitMs_ = timeout;
  ERR_clear_error();
  std::size_t n = 0;
  const int result = SSL_peek_ex(ssl_, buffer, static_cast<std::size_t>(length), &n);
  if (result == 1) return static_cast<long>(n);
  const int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ) {
    platform::SetLastSocketError(platform::kWsaEWOULDBLOCK);
    return -1;
  }
  NoteEnd(error);
  return EndOfData();
}

long TIdIOHandlerTLS::RecvNoWait(void* buffer, long length) {
  return Read(buffer, length, 0);
}

long TIdIOHandlerTLS::Send(const void* buffer, long length) {
  return Write(buffer, length, TSendMode::Wait);
}

long TIdIOHandlerTLS::SendNoWait(const void* buffer, long length) {
  return Write(buffer, length, TSendMode::NoWait);
}

bool TIdIOHandlerTLS::WaitReadable(int timeout) {
  if (ssl_ != nullptr && state_ == TState::Up && SSL_has_pending(ssl_) == 1) return true;
  return TIdIOHandlerSocket::WaitReadable(timeout);
}

void TIdIOHandlerTLS::Open() {
  FreeTLS();
  state_ = TState::Plain;
  ResetTransferState();
  TIdIOHandlerSocket::Open();
}

void TIdIOHandlerTLS::Close() {
  if (ssl_ != nullptr && state_ == TState::Up && binding_ && binding_->HandleAllocated()) {
    const int bound = timeoutMs_ > 0 ? timeoutMs_ : kDefaultCloseWaitMs;
    sendMode_ = TSendMode::Wait;
    sendWaitMs_ = bound;
    ERR_clear_error();
    const int result = SSL_shutdown(ssl_);  // close_notify: the server sees a complete upload
    // A data connection whose server has not closed yet is read until it does, so that the
    // close below is no reset: after an upload (nothing received) unread session tickets or a
    // reset can cost the tail of the file or fail the server's own close_notify; after an
    // aborted download some servers (proftpd) end the whole session when a write of theirs
    // meets a reset. A download still flowing is read for a short while only.
    if (result == 0 && role_ == TIdTLSRole::Data) {
      platform::ShutdownSocketSend(binding_->Handle());
      if (receivedData_)
        DrainUntilClosed(std::min(bound, kAbortDrainMs), kAbortDrainBytes);
      else
        DrainUntilClosed(bound, -1);
    }
  }
  FreeTLS();
  state_ = TState::Plain;
  TIdIOHandlerSocket::Close();
}

void TIdIOHandlerTLS::DrainUntilClosed(int waitMs, long long maxBytes) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  char scratch[16384];
  long long taken = 0;
  while (maxBytes < 0 || taken < maxBytes) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    recvWaitMs_ = static_cast<int>(left);
    std::size_t n = 0;
    ERR_clear_error();
    // Ends with the server's close_notify, its close, a failure or the wait.
    if (SSL_read_ex(ssl_, scratch, sizeof scratch, &n) != 1) break;
    taken += static_cast<long long>(n);
  }
}
