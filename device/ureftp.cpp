// The resilient FTP session: logging, the clash rule, one reconnect-and-retry after a lost
// connection, and the offset transfers that stay open between requests.
#include "device/ureftp.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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

// The server says it is closing the session (time-out, shutdown): the connection is lost.
constexpr int kServiceClosing = 421;

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

// A reply code that says "no such command" (or no such argument form of it).
bool NotImplemented(int code) {
  return code == 500 || code == 501 || code == 502 || code == 504;
}

}  // namespace

void RaiseIfBadLine(const std::string& text) {
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw EReBadPath("Path contains CR, LF or NUL.");
}

bool LostConnection(const Exception& e) {
  if (const auto* refusal = dynamic_cast<const EIdProtocolReplyError*>(&e))
    return refusal->ErrorCode() == kServiceClosing;
  return !IsInterruption(e) && dynamic_cast<const EReBadPath*>(&e) == nullptr;
}

bool IsInterruption(const Exception& e) {
  if (std::strcmp(e.ClassName(), "EIdInterrupted") == 0) return true;
  const auto* socket = dynamic_cast<const EIdSocketError*>(&e);
  return socket != nullptr && socket->LastError() == 10004;  // WSAEINTR
}

TReFtp::TReFtp(TServerProfile* profile) : profile_(profile != nullptr ? profile : &ownProfile_) {
  // The log says when TLS is up and what was agreed; nothing it did not show before is hidden.
  OnTlsEstablished = [](TIdFTP&, const std::string& agreed) { Log("    TLS: " + agreed); };
}

TReFtp::~TReFtp() = default;

int TReFtp::SendCmd(const std::string& command, const TIdReplyCodes& allowed) {
  // A line with CR or LF would smuggle a second command to the server, and a NUL would cut it
  // short: refuse it here, without sending and without a reconnect.
  RaiseIfBadLine(command);
  Log("    FTP SendCmd: " + command);
  // A command on the control connection would clash with an open transfer (the server answers
  // nothing until the transfer ends), so close it first. PASV, PORT and REST come only while
  // a new transfer is being opened, when nothing else is open.
  if (!StartsWith(command, "PASV") && !StartsWith(command, "PORT")) AbortTransfer();
  int code = 0;
  try {
    WriteLine(command);
    // A PASV asked ahead is answered first.
    TakePassiveAhead(StartsWith(command, "PASV") || StartsWith(command, "PORT") ? TAheadUse::Replace
                     : StartsWith(command, "CWD ")                              ? TAheadUse::Keep
                                                   : TAheadUse::Forget);
    code = ExpectReply(allowed);
  } catch (const Exception& e) {
    Log("      -->Err: " + Describe(e));
    const auto* refusal = dynamic_cast<const EIdProtocolReplyError*>(&e);
    // A refusal on a live connection is the server's answer; so is a refused login (an
    // account lock-out counts attempts). Commands of the reconnection itself are not repeated
    // either (one retry, never a loop), nor is an interrupted wait: its caller has gone.
    if ((refusal != nullptr && refusal->ErrorCode() != kServiceClosing) ||
        StartsWith(command, "USER") || StartsWith(command, "PASS") || reconnecting_) {
      throw;
    }
    if (IsInterruption(e)) {
      CloseConnection();
      throw;
    }
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

void TReFtp::Login() {
  OpenSession(true, kConnectTimeout);
  if (!profile_->Probed.load()) {
    const TIdFTPFeatures features = RequestFeatures();
    profile_->Mlsd = features.Mlst;
    profile_->Mfmt = features.Mfmt;
    profile_->Mdtm = features.Mdtm;
    profile_->MlstOptions = MlstOptionsFor(features.MlstFacts);
    profile_->Probed = true;
  }
  // A session's own setting: asked again at every login.
  if (!profile_->MlstOptions.empty()) {
    try {
      SendCmd(profile_->MlstOptions, TIdReplyCodes{200});
    } catch (const EIdProtocolReplyError&) {
      // The listing then shows default modes: nothing worse.
    }
  }
}

std::string TReFtp::MlstOptionsFor(const std::string& facts) {
  std::string lower = facts;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t mode = lower.find("unix.mode");
  // Offered but not on (no "*" after it): ask for it along with the facts the drive reads.
  if (mode == std::string::npos || lower.compare(mode + 9, 1, "*") == 0) return std::string();
  std::string options = "OPTS MLST ";
  for (const char* fact : {"type", "size", "modify", "unix.mode"})
    if (lower.find(fact) != std::string::npos) options += std::string(fact) + ";";
  return options;
}

void TReFtp::Connect() {
  if (IsConnected()) return;
  cwd_.clear();
  reconnecting_ = true;
  try {
    Login();
  } catch (...) {
    reconnecting_ = false;
    throw;
  }
  reconnecting_ = false;
}

void TReFtp::Reconnect() {
  // A transfer open on the old connection is gone with it.
  if (direction_ != TDirection::None) {
    ClearTransfer();
    FreeDataConnection();
  }
  CloseConnection();
  const std::string directory = cwd_;
  cwd_.clear();
  reconnecting_ = true;
  ++reconnectCount_;
  try {
    Login();
    // The command being repeated may depend on the directory (LIST): go back there.
    if (!directory.empty()) ChangeDirectory(directory);
  } catch (...) {
    reconnecting_ = false;
    throw;
  }
  reconnecting_ = false;
}

void TReFtp::ChangeDirectory(const std::string& remoteDir) {
  if (!remoteDir.empty() && remoteDir == cwd_ && IsConnected()) return;
  cwd_.clear();
  ChangeRemoteDirectory(remoteDir);
  cwd_ = remoteDir;
}

void TReFtp::ClearTransfer() {
  transferPath_.clear();
  transferPosition_ = 0;
  direction_ = TDirection::None;
}

void TReFtp::KeepUploadFailure(const std::string& path, std::exception_ptr failure) {
  if (OnUploadRefused)
    OnUploadRefused(path, failure);
  else
    failedUploads_[path] = failure;
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
        KeepUploadFailure(path, std::current_exception());
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
    // Whatever the first reply says, the transfer is over; only its shape matters here. After
    // an ABOR, a reply other than ABOR's own 225 was the transfer's: ABOR's follows. The two
    // may come in either order: over TLS, proftpd and pure-ftpd at times answer the ABOR (226)
    // before they report the broken transfer (426).
    const int code = ExpectClosingReply({});
    if (aborSent && code != 225) ExpectClosingReply({226, 225, 426});
  } catch (const Exception& e) {
    // Out of step with the server: start afresh on the next command.
    Log("    AbortTransfer Err:" + Describe(e));
    CloseConnection();
  }
}

bool TReFtp::CloseEndedDownload() {
  ClearTransfer();
  FreeDataConnection();
  if (!IsConnected()) return false;
  TimeoutScope timeout(*this, kUploadReplyTimeout);
  try {
    const int code = ExpectClosingReply({});
    if (code == 225 || code == 226 || code == 250) return true;
    Log("    AbortTransfer Err:" + LastReply().FormattedText());
    return false;
  } catch (const Exception& e) {
    Log("    AbortTransfer Err:" + Describe(e));
    CloseConnection();
    return false;
  }
}

bool TReFtp::FinishDownloadAtEnd() {
  // A server closes the data connection right after the last byte; its closing reply follows.
  // A byte past the known end means the file grew: the caller gets no more than it knows of.
  char extra = 0;
  try {
    DataConnection()->ReadAvailable(&extra, 1);
  } catch (const EIdConnClosedGracefully&) {
    return CloseEndedDownload();
  } catch (const Exception&) {
    // Broken or silent at the end: not confirmed.
  }
  abortNeeded_ = true;
  CloseDownload();
  return false;
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
    ExpectClosingReply({226, 250});
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
  auto it = failedUploads_.find(remotePath);
  if (it == failedUploads_.end()) return nullptr;
  std::exception_ptr failure = it->second;
  failedUploads_.erase(it);
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
  const bool pipelined = Passive() && PipelinePassive() && (upload || offset <= 0);
  for (int attempt = 0;; ++attempt) {
    // An active-mode endpoint is bound beside the control connection's local address, so a
    // control connection already known to be lost must be replaced first; passive mode gets
    // this from the retry of its PASV.
    if ((pipelined || !Passive()) && !IsConnected()) Reconnect();
    if (pipelined) {
      try {
        OpenPipelinedTransfer(command);
      } catch (const Exception& e) {
        // Lost before the transfer began (the server closed an idle session): once more on a
        // new connection, as a lone PASV would have been.
        if (attempt > 0 || !LostConnection(e)) throw;
        continue;  // reconnected at the top of the loop
      }
    } else {
      OpenDataConnection();
    }
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
        if (!pipelined) WriteLine(command);
        ExpectReply(startCodes);
      } else {
        SendCmd(command, startCodes);
        AcceptDataConnection();
      }
    } catch (...) {
      const int code = LastReply().NumericCode();
      const bool replyPending = code >= 100 && code < 200;
      FreeDataConnection();
      // An accept that failed after the 1xx reply leaves the closing reply to be taken.
      if (replyPending) SettleAfterFailedTransfer();
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

DWORD TReFtp::ReadTransferBytes(char* buffer, DWORD count, bool* ended,
                                std::exception_ptr* broken) {
  TIdTCPConnection& data = *DataConnection();
  *ended = false;
  DWORD n = 0;
  TIdStallGuard stall;
  try {
    // Straight from the socket into the caller's buffer once nothing is pending.
    while (n < count) {
      const long got = data.ReadAvailable(buffer + n, count - n);
      n += static_cast<DWORD>(got);
      stall.Progress(static_cast<std::size_t>(got));
    }
  } catch (const EIdConnClosedGracefully&) {
    *ended = true;
  } catch (const Exception& e) {
    if (IsInterruption(e)) throw;
    // Broken or stalled: what arrived before counts, the rest comes on a fresh transfer.
    *broken = std::current_exception();
  }
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
                       LONGLONG knownEnd, bool* complete) {
  if (complete != nullptr) *complete = false;
  BeginTransferRequest("Download", remotePath, offset, TDirection::Download);
  TReadyOnExit ready(*this);

  char* out = static_cast<char*>(buffer);
  DWORD delivered = 0;
  bool resumed = false;
  for (;;) {
    if (direction_ == TDirection::None)
      OpenTransfer("RETR", remotePath, offset + delivered, TDirection::Download);
    bool ended = false;
    std::exception_ptr broken;
    try {
      delivered += ReadTransferBytes(out + delivered, count - delivered, &ended, &broken);
    } catch (const Exception&) {
      // Interrupted: the caller has gone; nothing is waited for, the session starts afresh.
      ClearTransfer();
      FreeDataConnection();
      CloseConnection();
      throw;
    }
    const LONGLONG reached = offset + delivered;
    bool confirmed = false;
    if (!ended && !broken) {
      transferPosition_ = reached;
      abortNeeded_ = true;
      if (knownEnd < 0 || reached < knownEnd) break;  // parked for the next request
      // The file's known end: the closing reply decides now, not at some later command.
      confirmed = FinishDownloadAtEnd();
    } else if (ended) {
      // The data ended: the closing reply follows without an ABOR.
      abortNeeded_ = false;
      confirmed = CloseEndedDownload();
    } else {
      abortNeeded_ = true;
      CloseDownload();
    }
    if (confirmed) {
      if (complete != nullptr) *complete = true;
      break;
    }
    if (!ended && !broken && reached >= knownEnd) break;  // the file grew: cut at the known end
    // Closed with an error, broken or stalled: resume once from the offset reached.
    if (resumed) {
      if (broken) std::rethrow_exception(broken);
      throw EIdException("The server ended the transfer of " + remotePath +
                         " with: " + IdTrim(LastReply().FormattedText()));
    }
    resumed = true;
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

void TReFtp::ReceiveListing(const std::string& command,
                            const std::function<void(const std::string&)>& onLine) {
  // The listing's PASV or PORT goes out before its command: a parked transfer is closed first,
  // or its closing reply would be taken for theirs.
  AbortTransfer();
  for (int attempt = 0;; ++attempt) {
    bool anyLine = false;
    try {
      ReceiveLines(command, [&](const std::string& line) {
        anyLine = true;
        onLine(line);
      });
      return;
    } catch (const Exception& e) {
      // A pipelined PASV finds a lost connection only with the listing's command already
      // sent: once more (on a new connection if the old one is gone), as long as nothing was
      // handed over.
      if (!PipelinePassive() || attempt > 0 || anyLine || !LostConnection(e)) throw;
      if (!IsConnected()) Reconnect();
    }
  }
}

TIdFTPListFormat TReFtp::ListDirectory(const std::string& remoteDir,
                                       const std::function<void(const std::string&)>& onLine) {
  RaiseIfBadLine(remoteDir);
  if (profile_->Mlsd.load()) {
    // Exact names, types, sizes and UTC times, and no directory change.
    ReceiveListing("MLSD " + remoteDir, onLine);
    return flfMLSD;
  }
  ChangeDirectory(remoteDir);
  if (profile_->ListDashA.load() != 0) {
    // Some servers hide dot-files from a plain LIST (vsftpd by default).
    try {
      ReceiveListing("LIST -a", onLine);
      profile_->ListDashA = 1;
      return flfUnknown;
    } catch (const EIdProtocolReplyError& e) {
      if (profile_->ListDashA.load() == 1 ||
          !(NotImplemented(e.ErrorCode()) || e.ErrorCode() == 550)) {
        throw;
      }
      profile_->ListDashA = 0;  // the server does not take the option
    }
  }
  ReceiveListing("LIST", onLine);
  return flfUnknown;
}

bool TReFtp::AskEntry(const std::string& remotePath, TIdFTPListItem* item) {
  RaiseIfBadLine(remotePath);
  if (profile_->Mlsd.load()) {
    SendCmd("MLST " + remotePath, TIdReplyCodes{250});
    // The entry is the reply line that starts with a blank (RFC 3659), facts and path.
    TIdFTPLineParser parser(flfMLSD);
    for (const std::string& line : LastReply().Lines())
      if (!line.empty() && line[0] == ' ' && parser.Parse(line, *item)) return true;
    return false;
  }
  if (!profile_->Mdtm.load()) return false;
  SendCmd("MDTM " + remotePath, TIdReplyCodes{213});
  // "213 YYYYMMDDHHMMSS[.sss]": read as the time of an MLSD line would be.
  const std::vector<std::string>& text = LastReply().Text();
  TIdFTPLineParser parser(flfMLSD);
  TIdFTPListItem timeOnly;
  if (text.empty() || !parser.Parse("modify=" + IdTrim(text[0]) + "; x", timeOnly)) return false;
  item->ModifiedTicks = timeOnly.ModifiedTicks;
  item->TimePrecision = timeOnly.TimePrecision;
  item->EntryName.clear();
  return true;
}

bool TReFtp::SetModified(const std::string& remotePath, const std::string& utcTime) {
  RaiseIfBadLine(remotePath);
  if (profile_->Mfmt.load()) {
    SendCmd("MFMT " + utcTime + " " + remotePath, TIdReplyCodes{213});
    return true;
  }
  if (profile_->MdtmSet.load() == 0) return false;
  try {
    SendCmd("MDTM " + utcTime + " " + remotePath, TIdReplyCodes{213, 253});
    profile_->MdtmSet = 1;
    return true;
  } catch (const EIdProtocolReplyError& e) {
    // A server without the two-argument form takes the time for part of a file name ("550
    // 20200102030405 /a: No such file"); any other refusal is about the file.
    const bool tookTimeForName =
        e.ErrorCode() == 550 && e.Message().find(utcTime) != std::string::npos;
    if (profile_->MdtmSet.load() == 1 || !(NotImplemented(e.ErrorCode()) || tookTimeForName)) throw;
    profile_->MdtmSet = 0;
    return false;
  }
}

bool TReFtp::ChangeMode(const std::string& remotePath, unsigned mode) {
  RaiseIfBadLine(remotePath);
  if (profile_->SiteChmod.load() == 0) return false;
  char octal[8];
  std::snprintf(octal, sizeof octal, "%o", mode & 07777u);
  try {
    SendCmd(std::string("SITE CHMOD ") + octal + " " + remotePath, TIdReplyCodes{200, 250});
    profile_->SiteChmod = 1;
    return true;
  } catch (const EIdProtocolReplyError& e) {
    if (!NotImplemented(e.ErrorCode())) throw;
    profile_->SiteChmod = 0;
    return false;
  }
}
