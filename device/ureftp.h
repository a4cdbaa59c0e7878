// The resilient FTP session under the FTP device.
//
// Every command passes through SendCmd, which closes an open transfer that the command would
// clash with, and on any failure drops the control connection, connects, logs in and sends
// the command once more (USER and PASS are never repeated, nor are the commands of that
// reconnection itself). Download and Upload leave their data connection open, so that the
// next request of the same file at the next offset, in the same direction, continues it.
//
// Closing an open transfer (AbortTransfer): a download is aborted (ABOR, data socket closed,
// closing replies read); an upload is finished, never aborted: its data connection's sending
// side is shut down and closed and the server's completion reply read, so no in-flight byte
// is lost to an ABOR.
//
// Debug lines (only while DebugMode is set) go to standard output, exactly:
//   "    FTP SendCmd: <line>", "      -->Err: <class> <message>", "      -->Err2: ...",
//   "    -->Ext: <code>", "    FTP Download: <path> Offset:<n>", "    FTP Upload: ...",
//   "    -->Ext: <path> Offset:<n>", "    AbortTransfer", "    AbortTransfer Abort",
//   "    AbortTransfer Finish", "    AbortTransfer IsConnected",
//   "    AbortTransfer Err:<class> <message>".
//
// Thread rules: one thread at a time (the device's callers hold DeviceLock). No lock here.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "device/WinTypes.h"
#include "ftp/IdFTP.h"

class TReFtp : public TIdFTP {
 public:
  enum class TDirection { None, Download, Upload };

  TReFtp() = default;
  // Frees an open transfer's data connection without a word to the server; callers that
  // want an upload kept whole call AbortTransfer first (the device does).
  ~TReFtp() override;
  TReFtp(const TReFtp&) = delete;
  TReFtp& operator=(const TReFtp&) = delete;

  using TIdTCPConnection::SendCmd;
  // Logs, closes a clashing transfer (every command but PASV/PORT while one is open), sends,
  // checks the reply, and retries once on a fresh login. Returns the reply code. Raises the
  // second attempt's exception; at once for USER, PASS and commands sent while reconnecting;
  // EReBadPath (nothing sent, no reconnect) for a line with CR, LF or NUL.
  int SendCmd(const std::string& command, const TIdReplyCodes& allowed) override;

  // Closes the open transfer, if any (see above). Never raises. A refused upload completion
  // is kept for TakeUploadFailure.
  void AbortTransfer();

  // Reads up to count bytes of remotePath from offset into buffer; returns how many arrived
  // (fewer only at the end of the data). Continues the open download when path, offset and
  // direction match; otherwise opens "REST <offset>" (offset > 0) and "RETR". When a
  // continued transfer ends (or breaks) before knownEnd (-1: unknown), the server closed it
  // early: the rest is fetched once on a fresh transfer from the offset reached, and only an
  // empty fresh transfer means the end. Raises on failure (the transfer is closed then).
  DWORD Download(const std::string& remotePath, void* buffer, DWORD count, LONGLONG offset,
                 LONGLONG knownEnd = -1);

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

  const std::string& TransferPath() const { return transferPath_; }
  LONGLONG TransferPosition() const { return transferPosition_; }
  TDirection Direction() const { return direction_; }
  // Number of reconnections made by the retry (for tests and logging).
  int ReconnectCount() const { return reconnectCount_; }

  // Time-outs, ms: for the closing replies of an aborted download, and for the completion
  // reply of a finished upload (the server may still be writing the tail to its disk).
  static constexpr int kAbortReplyTimeout = 3000;
  static constexpr int kUploadReplyTimeout = 30000;
  // TCP connect time-out of the reconnection.
  static constexpr int kConnectTimeout = 25000;

 private:
  // Reads the reply that closes an aborted download, passing over preliminary (1xx) lines.
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
  // Closes the control connection and opens a new logged-in session; counts as a reconnect.
  void Reconnect();
  void OpenTransfer(const std::string& verb, const std::string& remotePath, LONGLONG offset,
                    TDirection direction);
  DWORD ReadTransferBytes(char* buffer, DWORD count, bool* ended);
  void WriteTransferBytes(const char* data, DWORD count);
  // Finishes the open upload; raises what went wrong. REQUIRES: an upload is open.
  void FinishOpenUpload();
  void CloseDownload();
  void ClearTransfer();

  std::string transferPath_;
  LONGLONG transferPosition_ = 0;
  TDirection direction_ = TDirection::None;
  bool abortNeeded_ = false;
  bool reconnecting_ = false;
  int reconnectCount_ = 0;
  std::string failedUploadPath_;
  std::exception_ptr failedUpload_;
};

// Raises EReBadPath when text holds CR, LF or NUL.
void RaiseIfBadLine(const std::string& text);
