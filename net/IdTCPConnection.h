// The buffered TCP connection under the FTP control connection and every FTP data connection.
//
// Bytes received but not yet consumed wait in PendingInput(). Reads take from there first and
// receive more only when needed; a peer that closed is reported (EIdConnClosedGracefully) only
// once the pending bytes are used up. Writes are immediate (no write buffer). The line-protocol
// reply layer (ReadReply, SendCmd, LastReply) sits on top.
//
// Every receive step waits at most ReadTimeout ms (0: without limit) and then raises
// EIdReadTimeout; the connection stays open and pending bytes stay pending. A reply is also
// bounded as a whole (ReplyTimeout, MaxReplyLines, MaxReplyBytes), so a hostile server can
// neither trickle bytes forever nor make the reply reader hold an endless reply.
//
// Errors: EIdConnClosedGracefully, EIdReadTimeout, EIdNotConnected (no handler), EIdClosedSocket
// (handler without socket), EIdReadLnMaxLineLengthExceeded, EIdReplyTooLong,
// EIdNotEnoughDataInBuffer, EIdSocketError, EIdProtocolReplyError, EIdException (WriteLine with
// CR/LF/NUL).
//
// Thread rules: a connection is used by one thread at a time; nothing here locks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdBuffer.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdRFCReply.h"
#include "net/IdStack.h"
#include "net/IdStream.h"

enum TIdMaxLineAction { maException, maSplit };

// Reply codes a caller accepts; empty accepts any code.
using TIdReplyCodes = std::vector<int>;

class TIdTCPConnection {
 public:
  TIdTCPConnection();
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;
  // Drops the socket and destroys an owned handler.
  virtual ~TIdTCPConnection();

  // --- settings -------------------------------------------------------------------------
  // Longest wait for incoming bytes in one receive step, ms; 0 waits without limit. Default 0.
  int ReadTimeout() const { return readTimeout_; }
  void SetReadTimeout(int ms) { readTimeout_ = ms; }
  // Longest line ReadLine accepts (bytes before the LF, a CR included); 0: no limit. 16384.
  int MaxLineLength() const { return maxLineLength_; }
  void SetMaxLineLength(int bytes) { maxLineLength_ = bytes; }
  TIdMaxLineAction MaxLineAction() const { return maxLineAction_; }
  void SetMaxLineAction(TIdMaxLineAction action) { maxLineAction_ = action; }
  // Size of one receive call and of ReadToStream's chunks. 32768.
  int RecvBufferSize() const { return recvBufferSize_; }
  void SetRecvBufferSize(int bytes) { recvBufferSize_ = bytes > 0 ? bytes : 1; }
  // Size of the chunks of a stream write. 32768.
  std::uint32_t SendBufferSize() const { return sendBufferSize_; }
  void SetSendBufferSize(std::uint32_t bytes) { sendBufferSize_ = bytes; }
  // Longest time ReadReply may take for one whole reply, ms, however slowly its bytes
  // trickle in; 0: no overall limit (each receive step still has ReadTimeout). 30000.
  int ReplyTimeout() const { return replyTimeout_; }
  void SetReplyTimeout(int ms) { replyTimeout_ = ms; }
  // Most lines (blank ones included) ReadReply reads for one reply; 0: no limit. 4096.
  int MaxReplyLines() const { return maxReplyLines_; }
  void SetMaxReplyLines(int lines) { maxReplyLines_ = lines; }
  // Most bytes ReadReply reads for one reply, each line end counted as one; 0: no limit.
  // 1048576.
  std::size_t MaxReplyBytes() const { return maxReplyBytes_; }
  void SetMaxReplyBytes(std::size_t bytes) { maxReplyBytes_ = bytes; }

  // --- state ----------------------------------------------------------------------------
  // Received bytes not yet consumed, in arrival order. A caller may consume them directly
  // (Data()/Size(), then Remove(n)) after ReceiveChunk: this is the copy-free read path.
  TIdManagedBuffer& PendingInput() { return pendingInput_; }
  // The last receive or send transferred 0 bytes, or the socket was dropped.
  bool PeerClosed() const { return peerClosed_; }
  // The last ReadLine returned part of an over-long line (maSplit only).
  bool LineWasSplit() const { return lineWasSplit_; }
  // The last ReadLine returned "" because the peer closed while a partial line was pending.
  bool LineTimedOut() const { return lineTimedOut_; }
  TIdRFCReply& LastReply() { return lastReply_; }
  TIdRFCReply& GreetingReply() { return greetingReply_; }

  // --- socket handler -------------------------------------------------------------------
  // The socket handler, or null.
  TIdIOHandlerSocket* IOHandler() const { return ioHandler_; }
  // The handler's binding, or null.
  TIdSocketHandle* Binding() const;
  // Assigns a handler the caller owns (not owned by the connection; may be null). An owned
  // handler held before is destroyed first; assigning the current handler again does nothing.
  // When the assigned handler is destroyed elsewhere, the connection forgets it.
  // REQUIRES: the handler is not in use by another connection.
  void SetIOHandler(TIdIOHandlerSocket* handler);
  // Installs a handler owned by the connection (destroyed by CloseConnection, by the next
  // assignment, or with the connection).
  void AdoptIOHandler(std::unique_ptr<TIdIOHandlerSocket> handler);
  bool OwnsIOHandler() const { return ownedHandler_ != nullptr; }

  // --- connection state -----------------------------------------------------------------
  // DetectDisconnect(false); then true when a handler exists and its socket is allocated.
  virtual bool IsConnected();

  // Notices a closed connection: when the peer closed (or there is no handler) a still
  // allocated socket is dropped. When the connection is closed, raise is set and PendingInput
  // is empty (or ignoreBuffer is set), raises EIdConnClosedGracefully. Returns whether the
  // connection counts as closed (false when there is no handler at all).
  virtual bool DetectDisconnect(bool raise = true, bool ignoreBuffer = false);

  // When a handler exists: sets PeerClosed and closes the handler's socket. Never throws.
  virtual void DropSocket();

  // DropSocket, then destroys an owned handler (IOHandler() becomes null). Never throws.
  virtual void CloseConnection();

  // Empties PendingInput and clears PeerClosed.
  virtual void ResetInput();

  // --- reading --------------------------------------------------------------------------
  // One wait-and-receive step of up to RecvBufferSize bytes appended to PendingInput.
  // timeout -1 means ReadTimeout (whose 0 waits without limit). Returns the byte count, 0 when
  // the peer closed (bytes pending beforehand stay readable), or -1 on time-out when
  // raiseOnTimeout is false (else EIdReadTimeout). Without a connection: EIdNotConnected when
  // raiseIfDisconnected, else 0. With raiseIfDisconnected a closed peer with nothing pending
  // raises EIdConnClosedGracefully.
  virtual int ReceiveChunk(bool raiseIfDisconnected = true, int timeout = -1,
                           bool raiseOnTimeout = true);

  // One line without its terminator. With the LF terminator a CR right before it is dropped
  // too (LF and CR LF end a line; a lone CR is part of the line). Pending bytes are never
  // searched twice. Bytes are taken from the socket only up to the terminator (within
  // ReadReply: up to the reply's last line): whatever the peer sent after it stays in the
  // socket for the next reader (after "234" to AUTH TLS that is a TLS handshake). A line longer
  // than MaxLineLength raises EIdReadLnMaxLineLengthExceeded (maException) before any further
  // receive, or is returned split (maSplit). A peer that closes while a partial line is pending
  // makes it return "" once with LineTimedOut set; the next read raises EIdConnClosedGracefully.
  virtual std::string ReadLine(const std::string& terminator = "\n");

  // Moves up to count bytes into destination and returns how many (at least 1): the pending
  // bytes first; with nothing pending, one receive straight into destination, which spares a
  // bulk reader the copy through PendingInput. Waits and failures as ReceiveChunk with
  // raiseIfDisconnected: a closed peer with nothing pending raises EIdConnClosedGracefully.
  // count <= 0 or no destination: 0.
  long ReadAvailable(void* destination, long count);

  // Fills destination with exactly count bytes (count <= 0 or no destination: nothing).
  // Raises EIdConnClosedGracefully when the peer closes first (the bytes stay pending),
  // EIdReadTimeout when a step times out.
  void ReadExact(void* destination, long count);

  // Appends received bytes to stream, starting with those pending. untilClosed: until the
  // peer closes (ends normally then). Otherwise exactly count bytes (count >= 0; the stream is
  // pre-sized and cut back to its position afterwards, also on failure). count -1 without
  // untilClosed first reads a 4-byte big-endian count. Returns the number of bytes written.
  std::int64_t ReadToStream(TIdStream& stream, std::int64_t count = -1, bool untilClosed = true);

  // --- writing --------------------------------------------------------------------------
  // Sends count bytes now (count <= 0 or no source: nothing). A closed peer raises
  // EIdConnClosedGracefully; no handler EIdNotConnected; a send failure EIdSocketError (after
  // dropping the socket for 10053/10054/10058). With ReadTimeout > 0, a peer that takes no
  // byte for ReadTimeout ms drops the socket and raises EIdSocketError 10060 "Connection
  // timed out."; with ReadTimeout 0 the send waits without limit.
  void WriteBytes(const void* source, long count);
  // WriteBytes of the text's bytes (nothing for "").
  virtual void WriteText(const std::string& text);
  // WriteText of text + CR LF. A text containing CR, LF or NUL is refused with EIdException
  // "Line to send contains CR, LF or NUL." before anything is sent: it would smuggle a second
  // command line to the peer.
  virtual void WriteLine(const std::string& text);

  // --- replies --------------------------------------------------------------------------
  // Up to `attempts` ReadLine calls; returns the first line that is not empty after IdTrim,
  // trimmed; "" when every attempt gave an empty line.
  std::string ReadNonEmptyLine(int attempts);
  // Reads one complete (single- or multi-line) reply into LastReply, taking no byte beyond
  // its last line from the socket. On a read failure LastReply keeps the previous reply.
  // Bounds: more than MaxReplyLines lines or MaxReplyBytes bytes raise EIdReplyTooLong; a
  // reply not complete within ReplyTimeout ms raises EIdReadTimeout "Reply not complete
  // within %d ms.". After either the stream is out of step: the caller drops the connection.
  void ReadReply();
  // Returns code when allowed is empty or holds it; else RaiseReplyError.
  virtual int CheckReplyCode(int code, const TIdReplyCodes& allowed);
  // Raises EIdProtocolReplyError with LastReply's code and FormattedText().
  [[noreturn]] virtual void RaiseReplyError();
  // Raises E with LastReply's FormattedText() and no code.
  template <class E>
  [[noreturn]] void RaiseReplyErrorAs() {
    throw E(lastReply_.FormattedText());
  }
  // ReadReply, then CheckReplyCode(LastReply().NumericCode(), allowed).
  virtual int ExpectReply(const TIdReplyCodes& allowed);
  // WriteLine(command), then ExpectReply(allowed). Overridable (the resilient FTP session adds
  // logging and retries). A derived class that overrides it should add
  // `using TIdTCPConnection::SendCmd;` so the single-code form stays visible.
  virtual int SendCmd(const std::string& command, const TIdReplyCodes& allowed);
  // Single-code form: -1 accepts any code; always goes through the virtual form above.
  int SendCmd(const std::string& command, int code = -1);

 protected:
  friend class TIdIOHandlerSocket;
  // Called by a handler being destroyed.
  void HandlerDestroyed(TIdIOHandlerSocket* handler);
  // Receives up to RecvBufferSize bytes straight into PendingInput's tail (or, with a target,
  // up to size bytes into target), waiting at most timeout ms (-2: without limit) for the
  // first byte. Returns the count, 0 (peer closed) or -1 (failure, or timedOut set).
  // With lineEnd, only the bytes up to and including the first lineEnd (counting the pending
  // bytes) are taken from the socket.
  long ReceiveIntoPending(char* target, long size, int timeout, bool& timedOut,
                          const std::string* lineEnd = nullptr);
  // ReceiveChunk's step, into PendingInput (target null) or into target.
  long ReceiveStep(char* target, long size, bool raiseIfDisconnected, int timeout,
                   bool raiseOnTimeout, const std::string* lineEnd = nullptr);

  TIdStackUse stackUse_;
  int readTimeout_ = 0;
  int maxLineLength_ = 16384;
  TIdMaxLineAction maxLineAction_ = maException;
  int recvBufferSize_ = 32768;
  std::uint32_t sendBufferSize_ = 32768;
  int replyTimeout_ = 30000;
  int maxReplyLines_ = 4096;
  std::size_t maxReplyBytes_ = 1 << 20;
  // While ReadReply runs with a ReplyTimeout: the moment the reply must be complete.
  bool replyDeadlineSet_ = false;
  std::chrono::steady_clock::time_point replyDeadline_;

  // Follows the lines of one reply and tells when it is complete: blank lines are passed
  // over; a first line "xyz-" opens a multi-line reply, which the first line that starts
  // with "xyz " (any case) or is shorter than four characters ends, both after trimming.
  class TReplyEnd {
   public:
    // One line as read, without its line end; true when it completes the reply.
    bool Feed(std::string_view line);

   private:
    bool started_ = false;
    std::string marker_;  // "xyz " of a multi-line reply
  };
  // While ReadReply runs: the lines taken from the socket so far, so that one receive may
  // take further whole lines of the same reply (one system call for a FEAT answer instead of
  // three per line), but never a byte after its last line.
  bool replyScan_ = false;
  TReplyEnd replyTaken_;
  TIdIOHandlerSocket* ioHandler_ = nullptr;
  std::unique_ptr<TIdIOHandlerSocket> ownedHandler_;
  TIdManagedBuffer pendingInput_;
  bool peerClosed_ = false;
  bool lineWasSplit_ = false;
  bool lineTimedOut_ = false;
  TIdRFCReply greetingReply_;
  TIdRFCReply lastReply_;
};
