// The transport and protocol exception family. Every failure of the TCP transport and of the
// FTP client is one of these; callers catch EIdException for "any network failure".
//
//   EIdException
//   +- EIdSilentException
//   |  +- EIdConnClosedGracefully     "Connection Closed Gracefully."
//   +- EIdSocketError                 "Socket Error # %d\r\n%s", carries the socket error code
//   |  +- EIdInterrupted              10004: a wait given up at the thread's interrupt check
//   +- EIdInvalidSocket               "Cannot allocate socket."
//   +- EIdStackError
//   |  +- EIdStackInitializationFailed
//   +- EIdReadTimeout                 "Read Timeout"
//   +- EIdNotConnected                "Not Connected"
//   +- EIdClosedSocket                "Disconnected."
//   +- EIdReadLnMaxLineLengthExceeded "Max line length exceeded."
//   +- EIdReplyTooLong                "Reply longer than %d lines." / "... %d bytes."
//   +- EIdNotEnoughDataInBuffer       "Not enough data in buffer."
//   +- EIdNoDataToRead                "No data to read."
//   +- EIdProtocolReplyError          reply text, carries the reply code
//   +- EIdAlreadyConnected            "Already connected."
//   +- EIdConnectException            message of the failed connect
//   +- EIdConnectTimeout              "Connect timed out."
//   +- EIdCouldNotBindSocket          "Could not bind socket. Address and port are already in use."
//   +- EIdInvalidPortRange            "Invalid Port Range (%d - %d)"
//   +- EIdCanNotBindPortInRange       "Can not bind in port range (%d - %d)"
//   +- EIdInvalidFTPListingFormat     raised by the FTP listing parser
#pragma once

#include <string>

#include "platform/Exception.h"

VELDRA_EXCEPTION(EIdException, Exception);
VELDRA_EXCEPTION(EIdSilentException, EIdException);
VELDRA_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);

// A failed socket call; LastError() is the Winsock-numbered code.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int lastError, std::string message)
      : EIdException(std::move(message)), lastError_(lastError) {}
  int LastError() const noexcept { return lastError_; }
  const char* ClassName() const noexcept override { return "EIdSocketError"; }

 private:
  int lastError_;
};

// A wait (receive, send, accept, connect) given up because the calling thread's interrupt
// check (veldra::platform::SetInterruptCheck) asked for it; LastError() is 10004. The
// connection is left as it was (a send may have gone out in part): callers normally drop it.
VELDRA_EXCEPTION(EIdInterrupted, EIdSocketError);

VELDRA_EXCEPTION(EIdInvalidSocket, EIdException);
VELDRA_EXCEPTION(EIdStackError, EIdException);
VELDRA_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
VELDRA_EXCEPTION(EIdReadTimeout, EIdException);
VELDRA_EXCEPTION(EIdNotConnected, EIdException);
VELDRA_EXCEPTION(EIdClosedSocket, EIdException);
VELDRA_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);
// A reply with more lines or bytes than the connection's reply bounds allow.
VELDRA_EXCEPTION(EIdReplyTooLong, EIdException);
VELDRA_EXCEPTION(EIdNotEnoughDataInBuffer, EIdException);
VELDRA_EXCEPTION(EIdNoDataToRead, EIdException);

// A reply whose code the caller did not allow. ErrorCode() is the reply's numeric code (0 when
// raised through the form of RaiseReplyError that takes an exception class); the message is
// the reply's text lines, each followed by CR LF.
class EIdProtocolReplyError : public EIdException {
 public:
  EIdProtocolReplyError(int errorCode, std::string message)
      : EIdException(std::move(message)), errorCode_(errorCode) {}
  explicit EIdProtocolReplyError(std::string message = std::string())
      : EIdProtocolReplyError(0, std::move(message)) {}
  int ErrorCode() const noexcept { return errorCode_; }
  const char* ClassName() const noexcept override { return "EIdProtocolReplyError"; }

 private:
  int errorCode_;
};

VELDRA_EXCEPTION(EIdAlreadyConnected, EIdException);
VELDRA_EXCEPTION(EIdConnectException, EIdException);
VELDRA_EXCEPTION(EIdConnectTimeout, EIdException);
VELDRA_EXCEPTION(EIdCouldNotBindSocket, EIdException);
VELDRA_EXCEPTION(EIdInvalidPortRange, EIdException);
VELDRA_EXCEPTION(EIdCanNotBindPortInRange, EIdException);
VELDRA_EXCEPTION(EIdInvalidFTPListingFormat, EIdException);
