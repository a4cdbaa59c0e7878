#include "net/IdTCPConnection.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/Socket.h"

namespace platform = veldra::platform;

namespace {

const char* const kConnClosedGracefully = "Connection Closed Gracefully.";
const char* const kNotConnected = "Not Connected";
const char* const kReadTimeout = "Read Timeout";
const char* const kMaxLineLengthExceeded = "Max line length exceeded.";
const char* const kUnsafeLine = "Line to send contains CR, LF or NUL.";

std::string ReplyTimeoutMessage(int ms) {
  return "Reply not complete within " + std::to_string(ms) + " ms.";
}

// Position of `terminator` in buffer at or after `from`, or npos.
std::size_t FindTerminator(const TIdSimpleBuffer& buffer, const std::string& terminator,
                           std::size_t from) {
  if (terminator.size() == 1) return buffer.Find(terminator[0], from);
  const std::size_t size = buffer.Size();
  if (size < terminator.size() || from > size - terminator.size()) return TIdSimpleBuffer::npos;
  const char* begin = buffer.Data();
  const char* hit = std::search(begin + from, begin + size, terminator.begin(), terminator.end());
  return hit == begin + size ? TIdSimpleBuffer::npos : static_cast<std::size_t>(hit - begin);
}

}  // namespace

TIdTCPConnection::TIdTCPConnection() = default;

TIdTCPConnection::~TIdTCPConnection() {
  DropSocket();
  // A handler the caller owns outlives us: it must not call back into a dead connection.
  if (ioHandler_ != nullptr && ioHandler_->connection_ == this) ioHandler_->connection_ = nullptr;
  ioHandler_ = nullptr;
  ownedHandler_.reset();
}

TIdSocketHandle* TIdTCPConnection::Binding() const {
  return ioHandler_ != nullptr ? ioHandler_->Binding() : nullptr;
}

void TIdTCPConnection::SetIOHandler(TIdIOHandlerSocket* handler) {
  if (handler == ioHandler_) return;  // re-assigning must not destroy what stays in use
  if (ioHandler_ != nullptr && ioHandler_->connection_ == this) ioHandler_->connection_ = nullptr;
  ioHandler_ = nullptr;
  ownedHandler_.reset();
  ioHandler_ = handler;
  if (handler != nullptr) handler->connection_ = this;
}

void TIdTCPConnection::AdoptIOHandler(std::unique_ptr<TIdIOHandlerSocket> handler) {
  TIdIOHandlerSocket* raw = handler.get();
  SetIOHandler(raw);
  ownedHandler_ = std::move(handler);
}

void TIdTCPConnection::HandlerDestroyed(TIdIOHandlerSocket* handler) {
  if (ioHandler_ == handler) ioHandler_ = nullptr;
}

bool TIdTCPConnection::IsConnected() {
  DetectDisconnect(false);
  return ioHandler_ != nullptr && ioHandler_->Connected();
}

bool TIdTCPConnection::DetectDisconnect(bool raise, bool ignoreBuffer) {
  bool closed;
  if (peerClosed_ || ioHandler_ == nullptr) {
    if (ioHandler_ != nullptr && ioHandler_->Connected()) DropSocket();
    closed = ioHandler_ != nullptr;
  } else {
    closed = !ioHandler_->Connected();
  }
  if (closed && raise && (pendingInput_.Empty() || ignoreBuffer)) {
    throw EIdConnClosedGracefully(kConnClosedGracefully);
  }
  return closed;
}

void TIdTCPConnection::DropSocket() {
  if (ioHandler_ == nullptr) return;
  peerClosed_ = true;
  ioHandler_->Close();
}

void TIdTCPConnection::CloseConnection() {
  DropSocket();
  if (ownedHandler_) {
    if (ioHandler_ == ownedHandler_.get()) ioHandler_ = nullptr;
    ownedHandler_.reset();
  }
}

void TIdTCPConnection::ResetInput() {
  pendingInput_.Clear();
  peerClosed_ = false;
}

long TIdTCPConnection::ReceiveIntoPending(char* target, long size, int timeout, bool& timedOut,
                                          const std::string* lineEnd) {
  timedOut = false;
  const bool direct = target != nullptr;
  if (!direct) {
    size = recvBufferSize_;
    target = pendingInput_.ReserveTail(static_cast<std::size_t>(size));
  }
  if (lineEnd != nullptr && !direct) {
    // Look first, then take only through the line end: the bytes after a reply may belong to
    // another reader (a TLS handshake after "234"), so they must stay in the socket.
    const long seen = ioHandler_->PeekWithin(target, size, timeout);
    if (seen == -1 && platform::LastSocketError() == platform::kWsaEWOULDBLOCK) {
      timedOut = true;
      return -1;
    }
    if (seen <= 0) return seen;
    const std::size_t held = pendingInput_.Size();
    const std::size_t overlap = std::min(held, lineEnd->size() - 1);
    const char* end = target + seen;
    const char* hit = std::search(static_cast<const char*>(pendingInput_.Data()) + held - overlap,
                                  end, lineEnd->data(), lineEnd->data() + lineEnd->size());
    long wanted = hit == end ? seen : static_cast<long>(hit + lineEnd->size() - target);
    if (hit != end && replyScan_ && *lineEnd == "\n" && maxLineAction_ == maException) {
      // Inside a reply the bytes up to its last line belong to it: take the whole lines seen
      // until that one (or everything seen while the reply goes on). The pending bytes are
      // the start of the current line.
      const char* lineStart = pendingInput_.Data();
      wanted = seen;
      for (const char* lf = hit; lf != end; lf = std::find(lineStart, end, '\n')) {
        if (replyTaken_.Feed(
                std::string_view(lineStart, static_cast<std::size_t>(lf - lineStart)))) {
          wanted = static_cast<long>(lf + 1 - target);
          break;
        }
        lineStart = lf + 1;
      }
    }
    long got = 0;
    while (got < wanted) {
      // Already arrived (peeked), so this does not wait.
      const long n = ioHandler_->Recv(target + got, wanted - got);
      if (n <= 0) {
        if (got == 0) return n;
        break;
      }
      got += n;
    }
    pendingInput_.CommitTail(static_cast<std::size_t>(got));
    return got;
  }
  // The wait and the receive are one call (the socket's receive time-out), so a flowing
  // transfer costs one system call per block, like a plain recv loop.
  const long n = ioHandler_->RecvWithin(target, size, timeout);
  if (n == -1 && platform::LastSocketError() == platform::kWsaEWOULDBLOCK) {
    timedOut = true;
    return -1;
  }
  if (n > 0 && !direct) pendingInput_.CommitTail(static_cast<std::size_t>(n));
  return n;
}

int TIdTCPConnection::ReceiveChunk(bool raiseIfDisconnected, int timeout, bool raiseOnTimeout) {
  return static_cast<int>(ReceiveStep(nullptr, 0, raiseIfDisconnected, timeout, raiseOnTimeout));
}

long TIdTCPConnection::ReadAvailable(void* destination, long count) {
  if (count <= 0 || destination == nullptr) return 0;
  if (pendingInput_.Empty())
    return ReceiveStep(static_cast<char*>(destination), count, true, -1, true);
  const auto n = std::min(static_cast<std::size_t>(count), pendingInput_.Size());
  std::memcpy(destination, pendingInput_.Data(), n);
  pendingInput_.Remove(n);
  return static_cast<long>(n);
}

long TIdTCPConnection::ReceiveStep(char* target, long size, bool raiseIfDisconnected, int timeout,
                                   bool raiseOnTimeout, const std::string* lineEnd) {
  if (timeout == -1) timeout = readTimeout_ == 0 ? -2 : readTimeout_;
  DetectDisconnect(raiseIfDisconnected);
  if (!IsConnected()) {
    if (raiseIfDisconnected) throw EIdNotConnected(kNotConnected);
    return 0;
  }
  long n;
  do {
    if (ioHandler_ == nullptr) {
      if (raiseIfDisconnected) throw EIdNotConnected(kNotConnected);
      n = 0;
    } else {
      bool timedOut = false;
      n = ReceiveIntoPending(target, size, timeout, timedOut, lineEnd);
      if (timedOut) {
        if (raiseOnTimeout) throw EIdReadTimeout(kReadTimeout);
        return -1;
      }
    }
    peerClosed_ = (n == 0);
    if (n == -1) {
      TIdStack& stack = stackUse_.Stack();
      // Raises EIdSocketError for anything but an aborted or shut-down connection.
      stack.CheckSocketResult(-1, {platform::kWsaESHUTDOWN, platform::kWsaECONNABORTED});
      const int code = stack.LastError();
      DropSocket();
      if (pendingInput_.Empty()) stack.RaiseSocketError(code);
      n = 0;  // the caller consumes what is pending first
    }
    DetectDisconnect(raiseIfDisconnected);
  } while (n == 0 && IsConnected());
  return n;
}

std::string TIdTCPConnection::ReadLine(const std::string& terminator) {
  const std::string term = terminator.empty() ? std::string("\n") : terminator;
  lineWasSplit_ = false;
  lineTimedOut_ = false;
  const std::size_t limit = maxLineLength_ > 0 ? static_cast<std::size_t>(maxLineLength_) : 0;
  std::size_t scanned = 0;
  std::size_t found = TIdSimpleBuffer::npos;
  for (;;) {
    const std::size_t size = pendingInput_.Size();
    if (size > scanned) {
      // Only the new bytes (plus an overlap for a terminator split across receives).
      const std::size_t from = scanned >= term.size() - 1 ? scanned - (term.size() - 1) : 0;
      found = FindTerminator(pendingInput_, term, from);
      scanned = size;
    }
    const bool tooLong = found != TIdSimpleBuffer::npos ? found > limit : scanned > limit;
    if (limit != 0 && tooLong) {
      if (maxLineAction_ == maException) {
        throw EIdReadLnMaxLineLengthExceeded(kMaxLineLengthExceeded);
      }
      lineWasSplit_ = true;
      return pendingInput_.ExtractText(limit);
    }
    if (found != TIdSimpleBuffer::npos) break;
    DetectDisconnect(true, true);
    // Inside ReadReply the step also ends at the reply's deadline.
    int timeout = -1;
    bool deadlineFirst = false;
    if (replyDeadlineSet_) {
      const long long left = std::chrono::ceil<std::chrono::milliseconds>(
                                 replyDeadline_ - std::chrono::steady_clock::now())
                                 .count();
      if (left <= 0) throw EIdReadTimeout(ReplyTimeoutMessage(replyTimeout_));
      deadlineFirst = readTimeout_ <= 0 || left < readTimeout_;
      if (deadlineFirst) timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    const long n = ReceiveStep(nullptr, 0, true, timeout, false, &term);
    if (n == -1) {
      throw EIdReadTimeout(deadlineFirst ? ReplyTimeoutMessage(replyTimeout_) : kReadTimeout);
    }
    if (n == 0) {
      lineTimedOut_ = true;
      return std::string();
    }
  }
  std::string line = pendingInput_.ExtractText(found + term.size());
  line.resize(found);
  if (term == "\n" && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void TIdTCPConnection::ReadExact(void* destination, long count) {
  if (count <= 0 || destination == nullptr) return;
  const auto wanted = static_cast<std::size_t>(count);
  while (pendingInput_.Size() < wanted) {
    ReceiveChunk(true, -1, true);
    DetectDisconnect(true, true);
  }
  std::memcpy(destination, pendingInput_.Data(), wanted);
  pendingInput_.Remove(wanted);
}

std::int64_t TIdTCPConnection::ReadToStream(TIdStream& stream, std::int64_t count,
                                            bool untilClosed) {
  if (count == -1 && !untilClosed) {
    unsigned char prefix[4];
    ReadExact(prefix, 4);
    count = (std::int64_t{prefix[0]} << 24) | (prefix[1] << 16) | (prefix[2] << 8) | prefix[3];
  }
  if (count >= 0) stream.SetSize(stream.Position() + count);
  // Until closed means without a cap: a stream of more than 2 GiB must not be cut short.
  std::int64_t remaining = untilClosed ? INT64_MAX : std::max<std::int64_t>(count, 0);
  std::int64_t written = 0;
  // Writes up to `limit` pending bytes straight from the receive buffer into the stream.
  auto drain = [&](std::int64_t limit) {
    const auto k = static_cast<std::size_t>(
        std::min<std::int64_t>(limit, static_cast<std::int64_t>(pendingInput_.Size())));
    if (k == 0) return;
    stream.Write(pendingInput_.Data(), k);
    pendingInput_.Remove(k);
    remaining -= static_cast<std::int64_t>(k);
    written += static_cast<std::int64_t>(k);
  };
  try {
    drain(remaining);
    const std::int64_t chunk = std::min<std::int64_t>(remaining, recvBufferSize_);
    while (remaining > 0 && IsConnected()) {
      if (untilClosed) {
        // Everything that arrives goes on; the close ends the loop normally.
        try {
          ReceiveChunk(true, -1, true);
        } catch (const EIdConnClosedGracefully&) {
        }
        drain(remaining);
        continue;
      }
      // A counted read moves whole chunks; on a close the incomplete chunk stays pending.
      const std::int64_t want = std::min(remaining, chunk);
      while (static_cast<std::int64_t>(pendingInput_.Size()) < want) {
        ReceiveChunk(true, -1, true);
        DetectDisconnect(true, true);
      }
      drain(want);
    }
    // A counted read that ends early is a failure, not a short success.
    if (!untilClosed && remaining > 0) throw EIdConnClosedGracefully(kConnClosedGracefully);
  } catch (...) {
    if (stream.Size() > stream.Position()) stream.SetSize(stream.Position());
    throw;
  }
  if (stream.Size() > stream.Position()) stream.SetSize(stream.Position());
  return written;
}

void TIdTCPConnection::WriteBytes(const void* source, long count) {
  if (count <= 0 || source == nullptr) return;
  DetectDisconnect(true, true);
  if (!IsConnected()) throw EIdNotConnected(kNotConnected);
  const char* bytes = static_cast<const char*>(source);
  long position = 0;
  while (position < count) {
    long n;
    if (readTimeout_ > 0) {
      // A peer that stops reading must not hold the caller forever: with a read time-out set,
      // a send that cannot make progress for that long fails like a timed-out socket.
      n = ioHandler_->SendNoWait(bytes + position, count - position);
      if (n == -1 && platform::LastSocketError() == platform::kWsaEWOULDBLOCK) {
        if (!ioHandler_->WaitWritable(readTimeout_)) {
          DropSocket();
          stackUse_.Stack().RaiseSocketError(platform::kWsaETIMEDOUT);
        }
        continue;
      }
    } else {
      n = ioHandler_->Send(bytes + position, count - position);
    }
    peerClosed_ = (n == 0);
    DetectDisconnect(true);
    if (n == -1) {
      TIdStack& stack = stackUse_.Stack();
      stack.CheckSocketResult(
          -1, {platform::kWsaESHUTDOWN, platform::kWsaECONNABORTED, platform::kWsaECONNRESET});
      const int code = stack.LastError();
      DropSocket();
      stack.RaiseSocketError(code);
    }
    position += n;
  }
}

void TIdTCPConnection::WriteText(const std::string& text) {
  if (!text.empty()) WriteBytes(text.data(), static_cast<long>(text.size()));
}

void TIdTCPConnection::WriteLine(const std::string& text) {
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    throw EIdException(kUnsafeLine);
  }
  WriteText(text + "\r\n");
}

std::string TIdTCPConnection::ReadNonEmptyLine(int attempts) {
  for (int i = 0; i < attempts; ++i) {
    std::string line = IdTrim(ReadLine());
    if (!line.empty()) return line;
  }
  return std::string();
}

bool TIdTCPConnection::TReplyEnd::Feed(std::string_view line) {
  while (!line.empty() && static_cast<unsigned char>(line.front()) <= 32) line.remove_prefix(1);
  while (!line.empty() && static_cast<unsigned char>(line.back()) <= 32) line.remove_suffix(1);
  if (line.empty()) return false;
  if (!started_) {
    started_ = true;
    if (line.size() > 3 && line[3] == '-') marker_ = std::string(line.substr(0, 3)) + " ";
    return marker_.empty();
  }
  // Only a line that starts with the code and a blank (or is the bare code) ends the reply. A
  // short continuation line (a FEAT reply's " CCC") does not: ending there would leave the
  // rest of the reply for the next command to take as its own answer.
  const std::string_view code(marker_.data(), 3);
  return line.compare(0, 4, marker_) == 0 || line == code;
}

void TIdTCPConnection::ReadReply() {
  // The deadline and the look-ahead hold for this reply only, however the read ends.
  struct ReplyScope {
    TIdTCPConnection& c;
    explicit ReplyScope(TIdTCPConnection& owner) : c(owner) {
      c.replyDeadlineSet_ = c.replyTimeout_ > 0;
      c.replyDeadline_ =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(c.replyTimeout_);
      c.replyScan_ = true;
      c.replyTaken_ = TReplyEnd();
    }
    ~ReplyScope() { c.replyDeadlineSet_ = c.replyScan_ = false; }
  } scope(*this);
  std::vector<std::string> lines;  // as received, blank ones left out
  TReplyEnd end;
  int count = 0;
  std::size_t bytes = 0;
  for (bool done = false; !done;) {
    // Every line read counts against the bounds, blank ones too.
    if (maxReplyLines_ > 0 && count >= maxReplyLines_) {
      throw EIdReplyTooLong("Reply longer than " + std::to_string(maxReplyLines_) + " lines.");
    }
    std::string line = ReadLine();
    ++count;
    bytes += line.size() + 1;
    if (maxReplyBytes_ > 0 && bytes > maxReplyBytes_) {
      throw EIdReplyTooLong("Reply longer than " + std::to_string(maxReplyBytes_) + " bytes.");
    }
    done = end.Feed(line);
    if (!IdTrim(line).empty()) lines.push_back(std::move(line));
  }
  lastReply_.ParseReplyLines(lines);
}

int TIdTCPConnection::CheckReplyCode(int code, const TIdReplyCodes& allowed) {
  if (allowed.empty()) return code;
  if (std::find(allowed.begin(), allowed.end(), code) != allowed.end()) return code;
  RaiseReplyError();
  // An override that returns must still not let a refused code pass.
  TIdTCPConnection::RaiseReplyError();
}

void TIdTCPConnection::RaiseReplyError() {
  throw EIdProtocolReplyError(lastReply_.NumericCode(), lastReply_.FormattedText());
}

int TIdTCPConnection::ExpectReply(const TIdReplyCodes& allowed) {
  ReadReply();
  return CheckReplyCode(lastReply_.NumericCode(), allowed);
}

int TIdTCPConnection::SendCmd(const std::string& command, const TIdReplyCodes& allowed) {
  WriteLine(command);
  return ExpectReply(allowed);
}

int TIdTCPConnection::SendCmd(const std::string& command, int code) {
  return code == -1 ? SendCmd(command, TIdReplyCodes{}) : SendCmd(command, TIdReplyCodes{code});
}
