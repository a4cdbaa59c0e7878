// The resilient FTP session under the FTP device: one control connection.
//
// Every command passes through SendCmd, which closes an open transfer that the command would
// clash with. A command the server refuses (a 4xx/5xx reply on a live connection) is an answer
// and is raised at once. Only a lost connection (transport failure, time-out, or the server's
// 421) makes SendCmd connect and log in again and send the command once more; the new
// session is first brought back to the state the command depends on (the current directory;
// the transfer type is set by every login). USER and PASS are never repeated, nor are the
// commands of the reconnection itself.
//
// Download and Upload leave their data connection open, so that the next request of the same
// file at the next offset, in the same direction, continues it. A download's closing reply
// decides whether its data were whole: a transfer closed with an error (or broken, or stalled)
// is resumed once with REST from the offset reached, and fails when that fails too.
//
// Closing an open transfer (AbortTransfer): a download is aborted (ABOR, data socket closed,
// closing replies read); an upload is finished, never aborted: its data connection's sending
// side is shut down and closed and the server's completion reply read, so no in-flight byte
// is lost to an ABOR. A refused upload completion is reported through OnUploadRefused (or
// kept for TakeUploadFailure).
//
// Debug lines (only while DebugMode is set) go to standard output, exactly:
//   "    FTP SendCmd: <line>", "      -->Err: <class> <message>", "      -->Err2: ...",
//   "    -->Ext: <code>", "    FTP Download: <path> Offset:<n>", "    FTP Upload: ...",
//   "    -->Ext: <path> Offset:<n>", "    AbortTransfer", "    AbortTransfer Abort",
//   "    AbortTransfer Finish", "    AbortTransfer IsConnected",
//   "    AbortTransfer Err:<class> <message>".
//
// Thread rules: one thread at a time (the device leases a session to one request). No lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <string>

#include "device/WinTypes.h"
#include "ftp/IdFTP.h"

// What the server offers, learned once per device and shared by all its sessions: from FEAT,
// and, for what FEAT does not tell, by trying (1 yes, 0 no, -1 not known yet).
struct TServerProfile {
  // Set before Probed: "OPTS MLST ..." that turns on the facts the drive uses but the server
  // leaves off by default (pyftpdlib's UNIX.mode), or "".
  std::string MlstOptions;
  std::atomic<bool> Probed{false};
  std::atomic<bool> Mlsd{false};   // MLSD listings and MLST facts
  std::atomic<bool> Mfmt{false};   // MFMT sets a file's time
  std::atomic<bool> Mdtm{false};   // MDTM reads it
  std::atomic<int> ListDashA{-1};  // "LIST -a" shows dot-files
  std::atomic<int> MdtmSet{-1};    // "MDTM <time> <path>" sets a file's time
  std::atomic<int> SiteChmod{-1};  // "SITE CHMOD <mode> <path>"
};

class TReFtp : public TIdFTP {
 public:
  enum class TDirection { None, Download, Upload };

  // profile: shared with the other sessions of one device; null gives the session its own.
  explicit TReFtp(TServerProfile* profile = nullptr);
  // Frees an open transfer's data connection without a word to the server; callers that
  // want an upload kept whole call AbortTransfer first (the device does).
  ~TReFtp() override;
  TReFtp(const TReFtp&) = delete;
  TReFtp& operator=(const TReFtp&) = delete;

  using TIdTCPConnection::SendCmd;
  // Logs, closes a clashing transfer (every command but PASV/PORT while one is open), sends,
  // checks the reply. Raises a refusal (EIdProtocolReplyError other than 421) at once; retries
  // once on a fresh login after a lost connection. Returns the reply code. Raises the second
  // attempt's exception; at once for USER, PASS and commands sent while reconnecting, and for
  // an interrupted wait (the session is closed then); EReBadPath (nothing sent, no
  // reconnect) for a line with CR, LF or NUL.
  int SendCmd(const std::string& command, const TIdReplyCodes& allowed) override;

  // Connects and logs in when not connected (FEAT is asked once per profile). Raises the
  // connect or login failure.
  void Connect();

  // Closes the open transfer, if any (see above). Never raises.
  void AbortTransfer();

  // Reads up to count bytes of remotePath from offset into buffer; returns how many arrived.
  // Continues the open download when path, offset and direction match; otherwise opens
  // "REST <offset>" (offset > 0) and "RETR". knownEnd (-1: unknown) is the file's size as the
  // caller knows it: a transfer that reaches it is finished at once, so that its closing reply
  // can decide. *complete (may be null) is set when the transfer ended with the server's
  // success reply: fewer bytes than asked then mean the file ends there. Raises when the
  // transfer fails twice (the transfer is closed then).
  DWORD Download(const std::string& remotePath, void* buffer, DWORD count, LONGLONG offset,
                 LONGLONG knownEnd = -1, bool* complete = nullptr);

  // Appends count bytes (0 allowed: the transfer is opened, which creates the file) to
  // remotePath. Continues the open upload when path, offset and direction match; otherwise
  // opens "APPE" (the offset is never sent). Raises on failure after finishing the upload.
  void Upload(const std::string& remotePath, const void* data, DWORD count, LONGLONG offset);

  // When the open transfer is an upload of remotePath: finishes it and raises the server's
  // refusal of the completed upload (or the failure to read its reply). Then, or when no
  // such upload is open, raises a refusal kept from an earlier finish of remotePath. Returns
  // normally otherwise.
  void FinishUpload(const std::string& remotePath);
  // The kept refusal of remotePath's last upload, cleared; null when there is none.
  std::exception_ptr TakeUploadFailure(const std::string& remotePath);
  // Told of every refused upload completion instead of keeping it (set by the device, which
  // keeps refusals for all its sessions).
  std::function<void(const std::string& remotePath, std::exception_ptr failure)> OnUploadRefused;

  // Lists remoteDir (absolute, "/" separated), handing every line to onLine: "MLSD <dir>" where
  // the server offers it, else "CWD <dir>" and "LIST -a" (dot-files included), or plain "LIST"
  // on a server that refuses the option. Returns the layout: flfMLSD, or flfUnknown for LIST
  // text (to be guessed). Raises on failure; lines already handed over must then be dropped.
  TIdFTPListFormat ListDirectory(const std::string& remoteDir,
                                 const std::function<void(const std::string&)>& onLine);
  // What the server says of one entry: "MLST <path>" (facts, size, time, mode) where it offers
  // MLST, else "MDTM <path>" (the time only; item's EntryName stays empty). False when it
  // offers neither; raises a refusal (the entry is gone).
  bool AskEntry(const std::string& remotePath, TIdFTPListItem* item);
  // "CWD <dir>" unless the session is already there.
  void ChangeDirectory(const std::string& remoteDir);

  // Sets remotePath's modification time (UTC calendar time "YYYYMMDDHHMMSS"): MFMT where
  // offered, else "MDTM <time> <path>". False when the server can do neither; raises its
  // refusal.
  bool SetModified(const std::string& remotePath, const std::string& utcTime);
  // "SITE CHMOD <octal mode> <path>". False when the server has no such command; raises its
  // refusal (e.g. 550).
  bool ChangeMode(const std::string& remotePath, unsigned mode);

  TServerProfile& Profile() { return *profile_; }
  const std::string& TransferPath() const { return transferPath_; }
  LONGLONG TransferPosition() const { return transferPosition_; }
  TDirection Direction() const { return direction_; }
  // The remembered current directory ("" when unknown).
  const std::string& CurrentDirectory() const { return cwd_; }
  // Number of reconnections made by the retry (for tests and logging).
  int ReconnectCount() const { return reconnectCount_; }

  // Time-outs, ms: for the closing replies of an aborted download, and for the completion
  // reply of a finished transfer (the server may still be writing the tail to its disk).
  static constexpr int kAbortReplyTimeout = 3000;
  static constexpr int kUploadReplyTimeout = 30000;
  // TCP connect time-out of a (re)connection.
  static constexpr int kConnectTimeout = 25000;

 private:
  // Reads the reply that closes a transfer, passing over preliminary (1xx) lines.
  int ExpectClosingReply(const TIdReplyCodes& allowed);
  // The start of a Download or Upload request: its log line, the path check, and the close
  // of an open transfer that this request does not continue.
  void BeginTransferRequest(const char* name, const std::string& remotePath, LONGLONG offset,
                            TDirection direction);
  // Reports "Transfer complete" when a request ends, however it ends.
  class TReadyOnExit {
   public:
    explicit TReadyOnExit(TReFtp& ftp) : ftp_(ftp) {}
    ~TReadyOnExit();
    TReadyOnExit(const TReadyOnExit&) = delete;
    TReadyOnExit& operator=(const TReadyOnExit&) = delete;

   private:
    TReFtp& ftp_;
  };
  // Closes the control connection and opens a new logged-in session in the remembered
  // directory; counts as a reconnect.
  void Reconnect();
  void Login();
  // "OPTS MLST ..." for a server whose MLST offers UNIX.mode without turning it on, or "".
  static std::string MlstOptionsFor(const std::string& facts);
  void OpenTransfer(const std::string& verb, const std::string& remotePath, LONGLONG offset,
                    TDirection direction);
  // Moves up to count bytes of the open download into buffer and returns how many; *ended
  // when the server closed the data connection, *broken when it broke or stalled (the bytes
  // before count). Raises only when the caller is interrupted.
  DWORD ReadTransferBytes(char* buffer, DWORD count, bool* ended, std::exception_ptr* broken);
  void WriteTransferBytes(const char* data, DWORD count);
  // Finishes the open upload; raises what went wrong. REQUIRES: an upload is open.
  void FinishOpenUpload();
  // The open download reached the file's known end: waits for the server to close it and
  // reads the closing reply. True when the server confirmed the transfer; false when it did
  // not (the transfer is closed either way).
  bool FinishDownloadAtEnd();
  // The data of the open download ended: frees it and reads the closing reply. True for a
  // success code.
  bool CloseEndedDownload();
  void CloseDownload();
  void ClearTransfer();
  void KeepUploadFailure(const std::string& path, std::exception_ptr failure);

  TServerProfile ownProfile_;
  TServerProfile* profile_;
  std::string transferPath_;
  LONGLONG transferPosition_ = 0;
  TDirection direction_ = TDirection::None;
  bool abortNeeded_ = false;
  bool reconnecting_ = false;
  int reconnectCount_ = 0;
  std::string cwd_;
  std::map<std::string, std::exception_ptr> failedUploads_;
};

// Raises EReBadPath when text holds CR, LF or NUL.
void RaiseIfBadLine(const std::string& text);
// True when e reports a wait given up because the caller was interrupted.
bool IsInterruption(const Exception& e);
