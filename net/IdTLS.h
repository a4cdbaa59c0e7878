// TLS on the transport: the client side of TLS over a connection's socket, as FTP uses it on
// its control connection (explicit or implicit) and on every data connection.
//
// TIdTLSContext holds what one control connection and its data connections share: the name
// the server's certificate must carry, the optional pinned fingerprint, and the session that
// the server issued on the control connection, which every data connection resumes (servers
// refuse data connections that do not reuse the control connection's session).
//
// TIdIOHandlerTLS is a socket handler that runs the connection's bytes through TLS once its
// handshake has run; before that it is a plain socket handler. Secure() moves a connected
// connection's socket into a new TLS handler, so a connection made plain (the FTP control
// connection before AUTH TLS, a passive data connection, an accepted active one) turns TLS
// without reconnecting.
//
// Certificates: the server's certificate must chain to one of the system's trusted
// authorities (OpenSSL's default paths) and carry the host name or IP address as given, or,
// when a fingerprint is pinned, be exactly the pinned certificate (SHA-256 of its DER form),
// whatever its chain and names. A refusal names the reason and prints the certificate's
// fingerprint in the colon form. There is no way to switch the check off.
//
// Ends of data: a peer that closes with a TLS close_notify ends the data normally (receives
// return 0). A data connection whose peer closes without close_notify raises EIdTLSError:
// the data may have been cut short by anyone on the path. A control connection treats such a
// close as a normal close (its replies are complete lines, and servers often drop it so).
//
// The build without TLS (Windows) has the same classes; constructing a TIdTLSContext raises
// EIdTLSError "TLS is not available in this build.".
//
// Thread rules: a context and the handlers that share it are used by one thread at a time
// (the FTP session's); nothing here locks.
#pragma once

#include <memory>
#include <string>

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"

// Every TLS failure: the handshake, a refused certificate, a broken record, a data
// connection closed without close_notify, a malformed pin, TLS missing from the build.
VELDRA_EXCEPTION(EIdTLSError, EIdException);

class TIdTCPConnection;
struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

// False in a build without TLS.
bool IdTLSAvailable();

// A pin as accepted from the user: 64 hexadecimal digits, with or without colons between
// pairs, any case. Returns the 64 lower-case digits; "" stays "". Raises EIdTLSError for
// anything else.
std::string NormaliseCertificatePin(const std::string& pin);

class TIdTLSContext {
 public:
  // peerName: the host name or dotted address the certificate must carry (unless pinned).
  // pin: "" or a fingerprint (NormaliseCertificatePin). Raises EIdTLSError for a malformed pin,
  // when the library cannot be set up, and always in the build without TLS.
  TIdTLSContext(const std::string& peerName, const std::string& pin);
  ~TIdTLSContext();
  TIdTLSContext(const TIdTLSContext&) = delete;
  TIdTLSContext& operator=(const TIdTLSContext&) = delete;

  const std::string& PeerName() const { return peerName_; }
  // 64 lower-case hex digits, or "" when not pinned.
  const std::string& Pin() const { return pin_; }
  // True once the server has issued, on the control connection, a session that data
  // connections can resume.
  bool HasResumableSession() const { return resumable_ != nullptr; }

 private:
  friend class TIdIOHandlerTLS;
  // Takes ownership; frees the session held before.
  void KeepResumableSession(ssl_session_st* session);

  std::string peerName_;
  std::string pin_;
  ssl_ctx_st* ctx_ = nullptr;            // owned
  ssl_session_st* resumable_ = nullptr;  // owned; issued on the control connection
};

enum class TIdTLSRole {
  Control,  // keeps the sessions its server issues; an unannounced close is a normal close
  Data      // resumes the context's session; an unannounced close is an error
};

class TIdIOHandlerTLS : public TIdIOHandlerSocket {
 public:
  TIdIOHandlerTLS(std::shared_ptr<TIdTLSContext> context, TIdTLSRole role);
  // Close() (close_notify when TLS is up).
  ~TIdIOHandlerTLS() override;

  // Moves the connected socket of connection's handler into a new TLS handler that the
  // connection then owns (the old handler stays with its owner, without a socket), and,
  // with handshakeNow, runs StartTLS(timeoutMs). Returns the new handler. Raises EIdTLSError
  // when bytes are already pending on the connection (they arrived before the handshake and
  // would be taken for protected ones), EIdNotConnected without a connected socket, and the
  // errors of StartTLS. REQUIRES: the connection is connected.
  static TIdIOHandlerTLS& Secure(TIdTCPConnection& connection,
                                 std::shared_ptr<TIdTLSContext> context, TIdTLSRole role,
                                 int timeoutMs, bool handshakeNow);

  // Runs the client handshake over the connected binding, each receive waiting at most
  // timeoutMs (<= 0: without limit); the same bound later applies to the close. A data
  // connection offers the context's resumable session. Then checks the certificate (see the
  // file comment). Raises EIdTLSError: "TLS handshake timed out.", the library's reason for a
  // failed handshake, or the refused certificate with reason and fingerprint; the handler
  // stays unusable for TLS then (its socket stays open; the owner closes it). Does nothing
  // when TLS is already up.
  void StartTLS(int timeoutMs);
  // Asks for TLS without starting it yet: the first receive, send or StartTLS runs the
  // handshake with timeoutMs (a data connection is secured once the server is ready for it,
  // after the transfer's start reply). A close before that closes the plain socket.
  void RequestTLS(int timeoutMs);

  bool TLSActive() const { return state_ == TState::Up; }
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" while TLS is up, else "".
  std::string Description() const;
  // True when the handshake resumed the context's session.
  bool SessionReused() const;
  // The server certificate's SHA-256 fingerprint, colon form ("AB:CD:..."), once seen.
  const std::string& PeerFingerprint() const { return fingerprint_; }

  // Drops TLS state, then as the base (a new plain socket follows).
  void Open() override;
  // When TLS is up: sends close_notify (waiting at most the handshake's bound for room). A
  // data connection whose server has not closed yet then shuts its sending side and reads
  // until the server closes, so that the close is no reset: after an upload (nothing
  // received; bounded like the handshake) unread session tickets would make a reset that can
  // cost the upload's tail or fail the server's own close_notify; after an aborted download
  // (at most 1 s and 16 MiB) a reset makes some servers end the whole session. Then closes
  // the socket. Never throws.
  void Close() override;
  // True at once when decrypted or undecrypted bytes wait inside TLS.
  bool WaitReadable(int timeout) override;
  // Receives and sends of plaintext. Returns and errors as the base (0: the peer closed with
  // close_notify, or on a control connection without it; -1 with 10035 on time-out or when a
  // send would wait), plus EIdTLSError for a protocol failure or a data connection closed
  // without close_notify. A receive fills the buffer with every record already available
  // (one socket read of up to 256 KiB, records decrypted straight into the caller's buffer).
  long Recv(void* buffer, long length) override;
  long Send(const void* buffer, long length) override;
  long RecvNoWait(void* buffer, long length) override;
  long RecvWithin(void* buffer, long length, int timeout) override;
  // Looks at decrypted bytes without taking them (the reply reader takes exactly its line).
  long PeekWithin(void* buffer, long length, int timeout) override;
  long SendNoWait(const void* buffer, long length) override;

  // For the library's callbacks (see the .cpp); not for callers.
  long BioRead(char* buffer, int length);
  long BioWrite(const char* buffer, int length);
  bool BioAtEnd() const { return atEnd_; }
  int OnVerify(int preverifyOk, void* storeContext);
  int OnNewSession(ssl_session_st* session);

 private:
  enum class TState { Plain, Pending, Up, Failed };
  // How the received data ended, kept when it ended behind bytes still handed out.
  enum class TEnd { None, Clean, SocketError, Failure };
  // How the socket writes of the library wait: not at all, or at most sendWaitMs_.
  enum class TSendMode { NoWait, Wait };

  void EnsureStarted();
  void FreeTLS();
  // Reads and drops what arrives until the peer closes, waitMs pass or maxBytes (< 0: no
  // limit) were read.
  void DrainUntilClosed(int waitMs, long long maxBytes);
  void ResetTransferState();
  // Records why SSL_read stopped (error is SSL_get_error's).
  void NoteEnd(int error);
  // Reports the recorded end: 0, -1 with the socket error, or EIdTLSError.
  long EndOfData();
  long Read(void* buffer, long length, int timeout);
  long Write(const void* buffer, long length, TSendMode mode);
  // Raises EIdTLSError with what, the library's error queue and the certificate's verdict.
  [[noreturn]] void Fail(const std::string& what);

  std::shared_ptr<TIdTLSContext> context_;
  TIdTLSRole role_;
  ssl_st* ssl_ = nullptr;  // owned, with its socket BIO
  TState state_ = TState::Plain;
  int timeoutMs_ = 0;
  // The current receive wait (ms, < 0 without limit, 0 not at all) and send mode of the BIO.
  int recvWaitMs_ = -1;
  TSendMode sendMode_ = TSendMode::Wait;
  int sendWaitMs_ = -1;
  bool receivedData_ = false;
  TEnd end_ = TEnd::None;
  std::string endText_;
  int endSocketError_ = 0;
  // The socket error of the BIO's last failed call (0: none); its last receive met the end.
  int socketError_ = 0;
  bool atEnd_ = false;
  // What the certificate check saw: the leaf's fingerprint (colon form), the first
  // verification error (0 none), and whether a pin was refused.
  std::string fingerprint_;
  long verifyError_ = 0;
  bool pinRefused_ = false;
};
