// The process-wide socket stack: socket error checking with the numbered messages, host
// resolution and dotted-quad conversion.
//
// One TIdStack exists while at least one network object (connection, socket handler, socket
// handle) exists: each holds a TIdStackUse, and a process-wide counter under a mutex creates
// the instance on the first use and destroys it with the last. GStack() gives the instance.
//
// Thread rules: the static helpers are pure and thread-safe. The instance's last-error field
// is shared by every thread of the process; a caller that tolerates a code reads LastError()
// right after its own CheckSocketResult (the OS-level error itself is kept per thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "net/IdException.h"

class TIdStack {
 public:
  TIdStack();
  TIdStack(const TIdStack&) = delete;
  TIdStack& operator=(const TIdStack&) = delete;
  virtual ~TIdStack() = default;

  // Checks the result of a socket call. Returns false when result is not -1 (no failure,
  // whatever the last error holds). For -1 it reads this thread's last socket error, stores it
  // as LastError() and returns true when the code is in `tolerated`; any other code raises
  // (RaiseSocketError) for that code.
  bool CheckSocketResult(long result, std::initializer_list<int> tolerated = {});

  // Always raises EIdSocketError with `code` and SocketErrorMessage(code); for 10004 (a wait
  // given up at the interrupt check) the EIdInterrupted form of it.
  [[noreturn]] void RaiseSocketError(int code);

  // The message "Socket Error # <code>\r\n<description>"; 11001 is "Host not found.", a code
  // outside the table has an empty description (the text ends right after CR LF).
  virtual std::string SocketErrorMessage(int code) const;

  // A new stream socket (type 1, protocol 0 for TCP). Raises EIdInvalidSocket "Cannot
  // allocate socket." on failure. The caller owns the returned handle.
  int CreateStreamSocket(int socketType, int protocol);

  // "LOCALHOST" in any case gives "127.0.0.1" without a query; a dotted quad is returned
  // unchanged; anything else is looked up (IPv4) and the first address returned as a dotted
  // quad. A name that does not resolve raises EIdSocketError 11001.
  std::string ResolveHostAddress(const std::string& host);

  // The last code stored by CheckSocketResult (0 when none).
  int LastError() const { return lastError_.load(); }

  // True when the text is four "."-separated decimal fields each 0..255. The text is cut at
  // the first three dots, so "1.2.3.4.5" is not a dotted quad (its fourth field is "4.5").
  static bool IsDottedQuad(const std::string& text);

  // Dotted quad -> address with field 1 as the most significant byte (127.0.0.1 ->
  // 0x7F000001). Raises EIdException "Invalid IP address: <text>" when not a dotted quad.
  static std::uint32_t DottedQuadToAddress(const std::string& text);
  // Address -> dotted quad.
  static std::string AddressToDottedQuad(std::uint32_t address);

 private:
  std::atomic<int> lastError_{0};
};

// The live instance. REQUIRES: at least one TIdStackUse exists (every network object holds
// one); otherwise raises EIdStackError.
TIdStack& GStack();

// Keeps the process-wide TIdStack alive while it exists. Copyable (each copy counts).
class TIdStackUse {
 public:
  TIdStackUse();
  TIdStackUse(const TIdStackUse&);
  TIdStackUse& operator=(const TIdStackUse&) = default;
  ~TIdStackUse();
  TIdStack& Stack() const { return GStack(); }
};
