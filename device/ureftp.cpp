// The resilient FTP session: logging, the clash rule, one reconnect-and-retry, and the
// offset transfers that stay open between requests.
#include "device/ureftp.h"

#include <algorithm>
#include <cstring>

#include "device/uftpdevice.h"
#include "platform/Console.h"

namespace {

void Log(const std::string& line) {
  if (DebugMode.load(std::memory_order_relaxed)) veldra::platform::WriteLine(line);
}

std::string Describe(const Exception& e) {
  return std::string(e.ClassName()) + " " + e.Message();
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Size of one receive step on a download's data connection: large steps keep the number of
// system calls per 128 KiB request small.
constexpr int kDataRecvBufferSize = 256 * 1024;

// Restores the control connection's read time-out on every exit.
class TimeoutScope {
 public:
  TimeoutScope(TIdTCPConnection& c, int ms) : c_(c), saved_(c.ReadTimeout()) {
    c_.SetReadTimeout(ms);
  }
  ~TimeoutScope() { c_.SetReadTimeout(saved_); }
  TimeoutScope(const TimeoutScope&) = delete;
  TimeoutScope& operator=(const TimeoutScope&) = delete;

 private:
  TIdTCPConnection& c_;
  int saved_;
};

}  // namespace

void RaiseIfBadLine(const std::string& text) {
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw EReBadPath("Path contains CR, LF or NUL.");
}

TReFtp::~TReFtp() = default;

int TReFtp::SendCmd(const std::string& command, const TIdReplyCodes& allowed) {
  // A line with CR or LF would smuggle a second command to the server, and a NUL would cut it
  // short: refuse it here, without sending and without a reconnect.
  RaiseIfBadLine(command);
  Log("    FTP SendCmd: " + command);
  // A command on the control connection would clash with an open transfer (the server answers
  // nothing until the transfer ends), so close it first. PASV and PORT come only while a new
  // transfer is being opened, when nothing else is open.
  if (!StartsWith(command, "PASV") && !StartsWith(command, "PORT")) AbortTransfer();
  int code = 0;
  try {
    WriteLine(command);
    code = ExpectReply(allowed);
  } catch (const Exception& e) {
    Log("      -->Err: " + Describe(e));
    // A refused login is not repeated (an account lock-out counts attempts), and neither are
    // the commands of the reconnection itself: one retry, never a loop.
    if (StartsWith(command, "USER") || StartsWith(command, "PASS") || reconnecting_) throw;
    try {
      Reconnect();
      WriteLine(command);
      code = ExpectReply(allowed);
    } catch (const Exception& e2) {
      Log("      -->Err2: " + Describe(e2));
      throw;
    }
  }
  Log("    -->Ext: " + std::to_string(code));
  return code;
}

void TReFtp::Reconnect() {
  CloseConnection();
  reconnecting_ = true;
  ++reconnectCount_;
  try {
    OpenSession(true, kConnectTimeout);
  } catch (...) {
    reconnecting_ = false;
    throw;
  }
  reconnecting_ = false;
}

void TReFtp::ClearTransfer() {
  transferPath_.clear();
  transferPosition_ = 0;
  direction_ = TDirection::None;
}

void TReFtp::AbortTransfer() {
  // Only a transfer handed back to the caller counts; one being opened is not touched.
  if (direction_ == TDirection::None) return;
  Log("    AbortTransfer");
  try {
    if (direction_ == TDirection::Upload) {
      std::string path = transferPath_;
      try {
        FinishOpenUpload();
      } catch (const Exception& e) {
        Log("    AbortTransfer Err:" + Describe(e));
        failedUploadPath_ = path;
        failedUpload_ = std::current_exception();
      }
    } else {
      CloseDownload();
    }
  } catch (...) {
    // Never raises: whatever is left is dropped, and the next command reconnects if needed.
    ClearTransfer();
    FreeDataConnection();
  }
}

int TReFtp::ExpectClosingReply(const TIdReplyCodes& allowed) {
  // Some servers answer ABOR of a running transfer with a preliminary line first
  // ("150 0.011 seconds (measured here), 1.2 Mbytes per second") and the closing reply after
  // it; a few such lines are passed over instead of being taken for a refusal.
  for (int skipped = 0;; ++skipped) {
    ReadReply();
    const int code = LastReply().NumericCode();
    if (code < 100 || code > 199 || skipped == 3) return CheckReplyCode(code, allowed);
  }
}

void TReFtp::CloseDownload() {
  ClearTransfer();
  bool aborSent = false;
  if (abortNeeded_) {
    Log("    AbortTransfer Abort");
    try {
      SendAbort();
    } catch (const Exception&) {
      // The control connection is broken; the reply read below notices it.
    }
    aborSent = true;
  }
  DropDataChannel();
  FreeDataConnection();
  Log("    AbortTransfer IsConnected");
  if (!IsConnected()) return;
  TimeoutScope timeout(*this, kAbortReplyTimeout);
  try {
    int code = ExpectClosingReply({225, 226, 250, 426, 450, 550});
    // The two replies may come in either order: over TLS, proftpd and pure-ftpd at times
    // answer the ABOR (226) before they report the broken transfer (426).
    if (aborSent && (code == 226 || code == 426 || code == 450 || code == 550))
      ExpectClosingReply({226, 225, 426});
  } catch (const Exception& e) {
    // Out of step with the server: start afresh on the next command.
    Log("    AbortTransfer Err:" + Describe(e));
    CloseConnection();
  }
}

void TReFtp::FinishOpenUpload() {
  Log("    AbortTransfer Finish");
  ClearTransfer();
  // Shutting down the sending side (part of dropping the socket) tells the server that the
  // data is complete; every byte written before it still arrives. No ABOR: an ABOR racing
  // the last bytes lets a server drop the tail of the file.
  if (TIdTCPConnection* data = DataConnection()) data->DropSocket();
  FreeDataConnection();
  if (!IsConnected()) throw EIdNotConnected("Not Connected");
  TimeoutScope timeout(*this, kUploadReplyTimeout);
  try {
    ExpectReply({226, 250});
  } catch (const EIdProtocolReplyError&) {
    throw;  // the server refused the upload; the control connection is in step
  } catch (const Exception&) {
    CloseConnection();
    throw;
  }
}

void TReFtp::FinishUpload(const std::string& remotePath) {
  if (direction_ == TDirection::Upload && transferPath_ == remotePath) {
    Log("    AbortTransfer");
    try {
      FinishOpenUpload();
    } catch (const Exception& e) {
      Log("    AbortTransfer Err:" + Describe(e));
      throw;
    }
  }
  if (std::exception_ptr failure = TakeUploadFailure(remotePath)) std::rethrow_exception(failure);
}

std::exception_ptr TReFtp::TakeUploadFailure(const std::string& remotePath) {
  if (!failedUpload_ || failedUploadPath_ != remotePath) return nullptr;
  std::exception_ptr failure = failedUpload_;
  failedUpload_ = nullptr;
  failedUploadPath_.clear();
  return failure;
}

void TReFtp::OpenTransfer(const std::string& verb, const std::string& remotePath, LONGLONG offset,
                          TDirection direction) {
  const std::string command = verb + " " + remotePath;
  const bool upload = direction == TDirection::Upload;
  const TIdReplyCodes startCodes =
      upload ? TIdReplyCodes{110, 125, 150} : TIdReplyCodes{125, 150, 154};
  // A reconnection by the retry after the data endpoint was set up leaves that endpoint with
  // the old session; set it up once more on the new one.
  for (int attempt = 0;; ++attempt) {
    // An active-mode endpoint is bound beside the control connection's local address, so a
    // control connection already known to be lost must be replaced first; passive mode gets
    // this from the retry of its PASV.
    if (!Passive() && !IsConnected()) Reconnect();
    OpenDataConnection();
    const int generation = reconnectCount_;
    try {
      if (offset > 0 && !upload) SendCmd("REST " + std::to_string(offset), 350);
      if (reconnectCount_ != generation && attempt == 0) {
        FreeDataConnection();
        continue;
      }
      if (Passive()) {
        // Written directly: a retry on a new control connection could not use this data
        // connection.
        WriteLine(command);
        ExpectReply(startCodes);
      } else {
        SendCmd(command, startCodes);
        AcceptDataConnection();
      }
    } catch (...) {
      FreeDataConnection();
      throw;
    }
    break;
  }
  if (!upload) DataConnection()->SetRecvBufferSize(kDataRecvBufferSize);
  direction_ = direction;
  transferPath_ = remotePath;
  transferPosition_ = offset;
  abortNeeded_ = true;
}

DWORD TReFtp::ReadTransferBytes(char* buffer, DWORD count, bool* ended) {
  TIdTCPConnection& data = *DataConnection();
  *ended = false;
  DWORD n = 0;
  try {
    // Straight from the socket into the caller's buffer once nothing is pending.
    while (n < count) n += static_cast<DWORD>(data.ReadAvailable(buffer + n, count - n));
  } catch (const EIdConnClosedGracefully&) {
    *ended = true;
  }
  // Any other failure leaves: bytes already in the buffer are not counted, and a fresh
  // transfer fetches them again from the last counted position.
  return n;
}

void TReFtp::BeginTransferRequest(const char* name, const std::string& remotePath, LONGLONG offset,
                                  TDirection direction) {
  Log(std::string("    FTP ") + name + ": " + remotePath + " Offset:" + std::to_string(offset));
  RaiseIfBadLine(remotePath);
  // Only the same path, direction and position continue the open transfer.
  if (direction_ != direction || remotePath != transferPath_ || offset != transferPosition_)
    AbortTransfer();
  ReportStatus(ftpTransfer, "Starting FTP transfer");
}

TReFtp::TReadyOnExit::~TReadyOnExit() {
  ftp_.ReportStatus(ftpReady, "Transfer complete");
}

DWORD TReFtp::Download(const std::string& remotePath, void* buffer, DWORD count, LONGLONG offset,
                       LONGLONG knownEnd) {
  BeginTransferRequest("Download", remotePath, offset, TDirection::Download);
  TReadyOnExit ready(*this);

  char* out = static_cast<char*>(buffer);
  DWORD delivered = 0;
  bool continued = direction_ == TDirection::Download;
  bool reopened = false;
  for (;;) {
    if (direction_ == TDirection::None)
      OpenTransfer("RETR", remotePath, offset + delivered, TDirection::Download);
    bool ended = false;
    bool broken = false;
    try {
      delivered += ReadTransferBytes(out + delivered, count - delivered, &ended);
    } catch (const EIdException&) {
      // A transfer that sat idle may have been cut by the server (data time-out, reset);
      // that earns it one fresh start below, like an early end.
      if (!continued || reopened) {
        AbortTransfer();
        throw;
      }
      broken = true;
    } catch (...) {
      AbortTransfer();
      throw;
    }
    if (!ended && !broken) {
      transferPath_ = remotePath;
      transferPosition_ = offset + delivered;
      abortNeeded_ = true;
      break;
    }
    // The data ended: the closing reply follows without an ABOR (a broken one gets ABOR).
    abortNeeded_ = broken;
    AbortTransfer();
    const LONGLONG reached = offset + delivered;
    if (continued && !reopened && delivered < count && (knownEnd < 0 || reached < knownEnd)) {
      // A continued transfer met its end before the file's: the server closed it early, so
      // fetch the rest on a fresh transfer; only an empty fresh transfer is the end.
      reopened = true;
      continued = false;
      continue;
    }
    break;
  }
  Log("    -->Ext: " + remotePath + " Offset:" + std::to_string(offset));
  return delivered;
}

void TReFtp::WriteTransferBytes(const char* data, DWORD count) {
  if (count == 0) return;
  DataConnection()->WriteBytes(data, static_cast<long>(count));
}

void TReFtp::Upload(const std::string& remotePath, const void* data, DWORD count, LONGLONG offset) {
  BeginTransferRequest("Upload", remotePath, offset, TDirection::Upload);
  TReadyOnExit ready(*this);

  if (direction_ == TDirection::None) OpenTransfer("APPE", remotePath, offset, TDirection::Upload);
  try {
    WriteTransferBytes(static_cast<const char*>(data), count);
  } catch (...) {
    AbortTransfer();
    throw;
  }
  transferPosition_ = offset + count;
  Log("    -->Ext: " + remotePath + " Offset:" + std::to_string(offset));
}
