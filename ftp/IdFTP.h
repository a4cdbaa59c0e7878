// The FTP client: the control session (greeting, login with optional FTP proxy, transfer type,
// one-reply commands), data connections (passive PASV / active PORT) with the listing
// transfer, and the parsed listing.
//
// Every command line is sent through the virtual SendCmd (a subclass may log, reconnect and
// retry there), with one exception: in passive mode the transfer command itself (LIST, and
// a subclass's RETR/APPE) is written with WriteLine and its start reply read with
// ExpectReply, because the data connection is already open for it and a retry on a new
// control connection could not use it.
//
// Reply codes outside a command's accepted set raise EIdProtocolReplyError (code and server
// text); transport failures (EIdSocketError, EIdReadTimeout, EIdConnClosedGracefully, ...)
// pass through unchanged. Only OpenSession disconnects on error; the other operations leave
// the control connection open.
//
// Time-outs. The control connection waits ReadTimeout() per receive (the owner sets it; 0
// waits without limit). Data connections wait at most DataTimeout() ms (default 30000) for
// the server to connect in active mode and for each piece of data: a server that stalls a
// transfer produces EIdAcceptTimeout or EIdReadTimeout, never a hang.
//
// Closing the session (CloseConnection) sends no QUIT. Session state (RestartProbed,
// RestartSupported, SystemDescription, LoginReply, ListingLines) survives reconnection.
//
// Thread rules: one thread at a time per object; nothing here locks. The data-connection
// accept wait can be ended from another thread only through TIdSimpleServer::RequestAbort.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceSettings.h"  // TTlsMode
#include "ftp/IdFTPList.h"
#include "ftp/IdSimpleServer.h"
#include "net/IdException.h"
#include "net/IdStream.h"
#include "net/IdTCPClient.h"
#include "net/IdTLS.h"

// A listing longer than the limits of TIdFTP (a server that sends without end).
VELDRA_EXCEPTION(EIdListingTooLarge, EIdException);

// Watches the progress of one transfer: a data connection that delivers fewer than
// kMinimumBytes in any kWindowMs raises EIdReadTimeout "Data connection stalled.", however
// the bytes trickle in (the per-receive time-out alone lets one byte every 20 s go on for ever).
class TIdStallGuard {
 public:
  static constexpr int kWindowMs = 30000;
  static constexpr std::size_t kMinimumBytes = 1024;
  // Counts bytes just moved (0 allowed) and raises when the window closes with too few.
  void Progress(std::size_t bytes);

 private:
  std::chrono::steady_clock::time_point windowStart_ = std::chrono::steady_clock::now();
  std::size_t windowBytes_ = 0;
};

// What a server offers beyond the base protocol, from its FEAT reply (RFC 2389 / 3659).
struct TIdFTPFeatures {
  bool Mlst = false;      // MLST, and with it MLSD
  std::string MlstFacts;  // the facts MLST offers, as listed ("type*;size*;UNIX.mode;")
  bool Mfmt = false;
  bool Mdtm = false;
  bool Size = false;
  bool Utf8 = false;
  bool AuthTls = false;
};

// The features named in the raw lines of a FEAT reply: every line between the first and the
// last that starts with a blank names one feature (its first word, any case) and its
// arguments. Never raises for any input.
TIdFTPFeatures ParseFeatureLines(const std::vector<std::string>& rawLines);

// Raised by the generic assign of a settings object given an object of another class:
// "Cannot assign a <source class> to a <destination class>".
VELDRA_EXCEPTION(EConvertError, Exception);

enum TIdFTPTransferType { ftASCII = 0, ftBinary = 1 };  // sent as "A" and "I"

enum TIdFtpProxyType {
  fpcmNone = 0,             // no proxy: USER/PASS straight to the server
  fpcmUserSite = 1,         // proxy login, then USER user@host
  fpcmSite = 2,             // proxy login, SITE host, user login
  fpcmOpen = 3,             // proxy login, OPEN host, user login
  fpcmUserPass = 4,         // USER user@proxyuser@host, PASS pass@proxypass
  fpcmTransparent = 5,      // proxy login, then user login
  fpcmHttpProxyWithFtp = 6  // not supported: "Command not supported."
};

// Status values passed to OnStatus (after the connection statuses 0..5).
enum TIdFTPStatus { ftpTransfer = 6, ftpReady = 7, ftpAborted = 8 };

// Minimal persistent-object base: a class name and a generic assign that refuses.
class TIdPersistent {
 public:
  virtual ~TIdPersistent() = default;
  virtual const char* ClassName() const { return "TIdPersistent"; }
  // Raises EConvertError "Cannot assign a <source> to a <this>"; subclasses accept their own.
  virtual void Assign(const TIdPersistent& source);
};

// Where and how to log in through an FTP proxy. Plain settings; copyable.
class TIdFtpProxySettings : public TIdPersistent {
 public:
  std::string Host;
  std::string UserName;
  std::string Password;
  TIdFtpProxyType ProxyType = fpcmNone;
  int Port = 0;

  const char* ClassName() const override { return "TIdFtpProxySettings"; }
  // Copies all five fields from another TIdFtpProxySettings; any other class raises
  // EConvertError "Cannot assign a %s to a %s".
  void Assign(const TIdPersistent& source) override;
};

class TIdFTP;

using TNotifyEvent = std::function<void(TIdFTP& ASender)>;
// May put a collection of the owner's into VFTPList (left empty: a TIdFTPListItems is made).
using TIdCreateFTPList =
    std::function<void(TIdFTP& ASender, std::unique_ptr<TIdFTPListItems>& VFTPList)>;
// May change the layout guessed from the listing's first line.
using TIdCheckListFormat =
    std::function<void(TIdFTP& ASender, const std::string& ALine, TIdFTPListFormat& VListFormat)>;
using TIdFtpAfterGet = std::function<void(TIdFTP& ASender, TIdStream& VStream)>;
// Status reports: one of TIdFTPStatus and its text ("Transfer aborted", ...).
using TIdStatusEvent = std::function<void(TIdFTP& ASender, int AStatus, const std::string& AText)>;
// The control connection's TLS is up; ADescription is its protocol version and cipher,
// for example "TLSv1.3 TLS_AES_256_GCM_SHA384".
using TIdTlsEvent = std::function<void(TIdFTP& ASender, const std::string& ADescription)>;

class TIdFTP : public TIdTCPClient {
 public:
  // Port 21, active mode, binary type, no proxy, restart not probed.
  TIdFTP();
  // Frees the listing, replies, proxy settings and a data connection left behind. Sends
  // nothing.
  ~TIdFTP() override;

  // Make the single-code SendCmd visible next to the virtual list form (also in subclasses).
  using TIdTCPConnection::SendCmd;

  // --- settings -------------------------------------------------------------------------
  const std::string& Username() const { return username_; }
  void SetUsername(const std::string& value) { username_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  // True: the client opens data connections (PASV); false: the server does (PORT).
  bool Passive() const { return passive_; }
  void SetPassive(bool value) { passive_ = value; }
  // True: in passive mode a transfer without REST sends PASV and its command in one write,
  // saving a round trip per transfer (servers take commands in order). Default false.
  bool PipelinePassive() const { return pipelinePassive_; }
  void SetPipelinePassive(bool value) { pipelinePassive_ = value; }
  TIdFTPTransferType TransferType() const { return transferType_; }
  // Does nothing when the value is the current one or while a DataConnection exists (the
  // value is dropped, not deferred). Otherwise stores it and, when connected, sends TYPE
  // (ApplyTransferType; EIdProtocolReplyError when refused, the new value stays stored).
  void SetTransferType(TIdFTPTransferType value);
  // The owned proxy settings; SetProxySettings copies into them (never replaces the object).
  TIdFtpProxySettings& ProxySettings() { return *proxySettings_; }
  void SetProxySettings(const TIdFtpProxySettings& value) { proxySettings_->Assign(value); }
  // Longest wait on a data connection, ms: for the server's connect in active mode and for
  // each receive. 0 waits without limit. Default 30000.
  int DataTimeout() const { return dataTimeout_; }
  void SetDataTimeout(int ms) { dataTimeout_ = ms; }
  // The connect time-out of a passive data connection: DataTimeout, or -1 (none) for 0.
  int DataConnectTimeout() const { return dataTimeout_ > 0 ? dataTimeout_ : -1; }
  // How the session is protected (net/IdTLS.h), from the next OpenSession on. None: plain FTP.
  // Explicit: "AUTH TLS" (234) after the greeting and the handshake before the login; a
  // refusal is an error carrying the reply (never plain FTP instead). Implicit: the handshake
  // first, the greeting inside TLS. Both then send "PBSZ 0" and "PROT P" (200) after the
  // login, and every data connection is TLS too, resuming the control connection's session.
  TTlsMode TlsMode() const { return tlsMode_; }
  void SetTlsMode(TTlsMode mode) { tlsMode_ = mode; }
  // The SHA-256 fingerprint of the one server certificate to accept instead of the normal
  // check ("": none). Its form is checked by OpenSession (EIdTLSError).
  const std::string& CertificatePin() const { return certificatePin_; }
  void SetCertificatePin(const std::string& pin) { certificatePin_ = pin; }

  // --- state ----------------------------------------------------------------------------
  bool RestartSupported() const { return restartSupported_; }
  bool RestartProbed() const { return restartProbed_; }
  // First text line of the SYST reply, or "Unknown" for a 500 reply; "" before the first.
  const std::string& SystemDescription() const { return systemDescription_; }
  // False: the login leaves out SYST (SystemDescription stays as it is). Default true.
  void SetAskSystem(bool value) { askSystem_ = value; }
  // Raw lines of the most recent successful listing.
  std::vector<std::string>& ListingLines() { return listingLines_; }
  // Copy of the reply that ended the login.
  TIdRFCReply& LoginReply() { return loginReply_; }
  // The data connection of the transfer in progress, or null: a TIdTCPClient in passive
  // mode, a TIdSimpleServer in active mode. Owned by this object.
  TIdTCPConnection* DataConnection() const { return dataConnection_.get(); }
  // Protocol version and cipher of the control connection ("TLSv1.3 TLS_AES_256_GCM_SHA384"),
  // "" while it is plain.
  std::string TlsDescription() const;

  // --- events ---------------------------------------------------------------------------
  TNotifyEvent OnAfterClientLogin;  // after a successful login, before TYPE
  TIdCreateFTPList OnCreateFTPList;
  TIdCheckListFormat OnCheckListFormat;
  TIdFtpAfterGet OnAfterGet;  // fired by NotifyAfterGet only
  TIdStatusEvent OnStatus;
  // Called once per control connection, as soon as its TLS is up (before the login).
  TIdTlsEvent OnTlsEstablished;
  // Kept in the parsed listing: reading or writing it builds the parsed listing first.
  TIdOnParseCustomListFormat GetOnParseCustomListFormat();
  void SetOnParseCustomListFormat(TIdOnParseCustomListFormat handler);

  // --- session --------------------------------------------------------------------------
  // Connects (to the proxy host and port instead when ProxySettings.ProxyType is not fpcmNone
  // and ProxySettings.Host is not empty; Host and Port are put back either way), reads the
  // 220 greeting into GreetingReply and, with autoLogin: PerformLogin, OnAfterClientLogin,
  // ApplyTransferType, "SYST" (200/215/500), status ftpReady "Connection established".
  // With TLS (TlsMode) the handshake comes first (Implicit) or after the greeting (Explicit),
  // PBSZ/PROT after the login; every OpenSession starts a new TLS session. A refused
  // certificate or handshake raises EIdTLSError before anything else is sent.
  // timeoutMs is the connect time-out (ConnectToHost). On any failure the connection is
  // closed and the error re-raised, so the object can be opened again.
  void OpenSession(bool autoLogin, int timeoutMs);
  // The USER/PASS sequence of ProxySettings.ProxyType; copies the final reply into
  // LoginReply. fpcmHttpProxyWithFtp raises EIdException "Command not supported." without
  // sending anything.
  void PerformLogin();
  // "TYPE A" or "TYPE I" (200).
  void ApplyTransferType();
  // "REST 1" then "REST 0" through SendRaw, once per object; true when "REST 1" got 350.
  // Later calls return the first answer without sending. Any reply code is accepted.
  bool ProbeRestartSupport();
  // "FEAT" (211); a server that does not know it (500, 502) offers nothing.
  TIdFTPFeatures RequestFeatures();
  // Sends the line as it is; any reply code is accepted and returned.
  int SendRaw(const std::string& line);
  void ChangeRemoteDirectory(const std::string& path);  // "CWD " + path (200, 250)
  void CreateRemoteDirectory(const std::string& path);  // "MKD " + path (257)
  void RemoveRemoteDirectory(const std::string& path);  // "RMD " + path (250)
  void DeleteRemoteFile(const std::string& path);       // "DELE " + path (250)
  // "RNFR " + oldPath (350), then "RNTO " + newPath (250); a refused RNFR sends no RNTO.
  void RenameRemote(const std::string& oldPath, const std::string& newPath);

  // --- listings -------------------------------------------------------------------------
  // "LIST " + specifier (details) or "NLST " + specifier, trimmed, through ReceiveToStream.
  // On success the parsed listing is discarded and ListingLines (and *destination when
  // given) hold the received text split at CR LF, lone CR and lone LF (a NUL ends the text;
  // no empty line for a final line break). A failure leaves both as they were.
  void RequestListing(std::vector<std::string>* destination, const std::string& specifier,
                      bool details);
  // The entries of ListingLines, parsed on first use after each listing (layout guessed from
  // the first line, flfNoDetails after an NLST listing, then OnCheckListFormat). The collection is
  // owned by this object and valid until the next successful RequestListing or destruction; the
  // owner may AddItem to it.
  TIdFTPListItems& ParsedListing();

  // --- transfers and data connections ---------------------------------------------------
  // Bounds of one listing: text bytes, lines, and the length of one line (a longer line is
  // left out, it is no entry of any real server).
  static constexpr std::int64_t kMaxListingBytes = std::int64_t(256) << 20;
  static constexpr std::int64_t kMaxListingLines = 2000000;
  static constexpr std::size_t kMaxListingLineLength = 8192;
  // How long the closing reply of a failed transfer is waited for before the session is
  // dropped, ms.
  static constexpr int kClosingReplyTimeout = 3000;

  // One complete inbound transfer: opens the data connection (passive: PASV and connect;
  // active: listen and PORT), "REST <restartAt>" (350) when restartAt >= 0, sends `command`
  // (125, 150, 154), hands every chunk to onData until the server closes the data connection,
  // frees the data connection, then reads the closing reply: only 225, 226 and 250 count as
  // success; any other raises EIdProtocolReplyError (the data may be incomplete). A data
  // connection that stalls (TIdStallGuard) or breaks raises. After any failure the control
  // connection is in step again (the transfer's closing reply taken) or closed: no reply is
  // ever left for the next command. DataConnection is null again on every path.
  void ReceiveTransfer(const std::string& command, std::int64_t restartAt,
                       const std::function<void(const char*, std::size_t)>& onData);
  // ReceiveTransfer into stream, "REST <stream position>" first when resume.
  void ReceiveToStream(const std::string& command, TIdStream& stream, bool resume);
  // ReceiveTransfer of a listing, handing every line to onLine as it arrives (split as
  // SplitListingText does). Raises EIdListingTooLarge (session dropped) past the bounds above.
  void ReceiveLines(const std::string& command,
                    const std::function<void(const std::string&)>& onLine);

  // "PASV" (227). Host and port from the reply's first text line: the text between the first
  // "(" and the first ")", else after the last space; fields cut at commas: four host fields
  // joined with ".", port = fifth * 256 + sixth. Raises EConvertError when the port fields are
  // missing, not decimal integers or outside 0..255 (nothing has been opened then).
  virtual void RequestPassiveEndpoint(std::string& host, int& port);
  // Parses a PASV reply text line as RequestPassiveEndpoint does (no command sent).
  static void ParsePassiveReply(const std::string& line, std::string& host, int& port);
  // ParsePassiveReply of LastReply's first text line: the port (and the host when asked).
  int PassivePortOfLastReply(std::string* host = nullptr);
  // "PORT a,b,c,d,p1,p2" (200) for the binding's local IP and port.
  virtual void SendPortCommand(const TIdSocketHandle& binding);
  // Copies SendBufferSize and RecvBufferSize of the control connection to DataConnection
  // and gives it ReadTimeout = DataTimeout (REQUIRES: DataConnection set).
  virtual void PrepareDataChannel();

  // Building blocks for transfers of a subclass (RETR at an offset, APPE), in this order:
  //   OpenDataConnection(); [REST via SendCmd]; passive: WriteLine(cmd) + ExpectReply(...)
  //   (or, passive without REST: OpenPipelinedTransfer(cmd) + ExpectReply(...))
  //   | active: SendCmd(cmd, ...); AcceptDataConnection(); read/write DataConnection();
  //   then FreeDataConnection() (or SendAbort() + read the replies, then FreeDataConnection()).
  //
  // Creates DataConnection and makes it ready for the transfer command. Passive: PASV, a
  // TIdTCPClient connected to the announced endpoint. Active: a TIdSimpleServer listening on
  // the control connection's local address (AcceptTimeout = DataTimeout) and PORT sent.
  // Raises (with DataConnection freed) when any step fails. REQUIRES: no DataConnection.
  void OpenDataConnection();
  // Passive mode, instead of OpenDataConnection and WriteLine(command): "PASV" and command in
  // one write, then the data connection to the port of the PASV reply; the caller reads the
  // command's start reply next, as after WriteLine. A refused PASV raises its reply once the
  // command's own answer has been taken (the session stays in step). Any other failure
  // closes the control connection, since the server may be left waiting for a data
  // connection, and raises. REQUIRES: no DataConnection; command free of CR, LF and NUL.
  // An endpoint asked ahead (AskPassiveAhead) and younger than kPassiveAheadMs serves instead
  // of a new PASV: only the command goes out (before the PASV reply is read when that has not
  // come yet). When the server refused it, or no longer takes connections on it, the transfer
  // asks a PASV of its own.
  void OpenPipelinedTransfer(const std::string& command);

  // A passive endpoint asked for ahead of the next transfer: "PASV" goes out when a request
  // ends, its reply is read by whatever the session sends next, and the next transfer sends
  // only its command (one round trip less per transfer, where the reply has come by then).
  // Needs SetPassiveAhead(true), passive mode and pipelining; every new login forgets it.
  bool PassiveAhead() const { return passiveAhead_; }
  void SetPassiveAhead(bool value) { passiveAhead_ = value; }
  // Writes "PASV" when PassiveAhead is on, a transfer was opened since the last time, the
  // session is connected and idle (no data connection) and nothing is asked yet. The reply
  // is left unread. Never raises (a failed write closes the connection).
  void AskPassiveAhead();
  // What a command sent after a PASV asked ahead does to its endpoint: CWD leaves it to the
  // next transfer (a listing's directory change); any other command leaves it unused (some
  // servers close a passive listener on other commands, and another session's PASV could
  // then be given its port); a new PASV or PORT replaces the server's listener.
  enum class TAheadUse { Keep, Forget, Replace };
  // Reads the reply of a PASV asked ahead, if it is still unread, and applies `use`. Never
  // raises: a reply other than 227 leaves no endpoint, a failed read or 421 closes the
  // connection.
  void TakePassiveAhead(TAheadUse use = TAheadUse::Keep);
  // 0: nothing usable asked ahead; 1: asked, the reply not here yet; 2: a usable endpoint.
  int PassiveAheadState();
  // The server may hold a listener asked ahead that no transfer used or replaced.
  bool PassiveAheadOutstanding() const { return aheadPending_ || aheadListening_; }
  // How long ago the endpoint was asked for.
  std::chrono::steady_clock::duration PassiveAheadAge() const {
    return std::chrono::steady_clock::now() - aheadAskedAt_;
  }
  // Gives an outstanding listener back: its reply read, then "ABOR" (one reply read), since
  // some servers end an unused passive listener with an unsolicited reply (pyftpdlib: 421
  // after 30 s). Never raises; the connection is closed when the exchange fails.
  void DropPassiveAhead();
  // An endpoint asked ahead is used only while younger than this.
  static constexpr int kPassiveAheadMs = 2000;
  // Active mode: waits for the server's data connection (EIdAcceptTimeout after
  // DataTimeout). Passive mode: nothing. With TLS the handshake on the data connection runs
  // here in active mode (the start reply has come), and in passive mode as soon as
  // ExpectReply reads the transfer's start reply (1xx): servers begin TLS on a data
  // connection only once the transfer has started. REQUIRES: OpenDataConnection has run.
  void AcceptDataConnection();
  // ExpectReply, then, for a preliminary reply (1xx) while a passive data connection waits
  // for its TLS handshake, that handshake (EIdTLSError when it fails).
  int ExpectReply(const TIdReplyCodes& allowed) override;
  // Closes and frees DataConnection (null afterwards). Never throws.
  void FreeDataConnection();
  // The first half of ReceiveTransfer: data connection open and `command` accepted (1xx).
  // On failure nothing is left open and no reply is left unread.
  void StartInboundTransfer(const std::string& command, std::int64_t restartAt);
  // The end of a successful inbound transfer: frees the data connection and reads the closing
  // reply (225, 226, 250; anything else raises EIdProtocolReplyError).
  void FinishInboundTransfer();
  // After a failed transfer: frees the data connection, then reads the closing reply the
  // server still owes (at most kClosingReplyTimeout ms) or, when it does not come, closes the
  // control connection. Never raises.
  void SettleAfterFailedTransfer();
  // Hands DataConnection over to a subclass that keeps it beyond the transfer call, or takes
  // one back; the object frees whatever it holds at destruction.
  std::unique_ptr<TIdTCPConnection> ReleaseDataConnection() { return std::move(dataConnection_); }
  // Connects DataConnection to port on the control connection's peer (the reply's address is
  // not trusted). REQUIRES: passive mode, no DataConnection.
  void ConnectPassiveData(int port);
  void SetDataConnection(std::unique_ptr<TIdTCPConnection> connection) {
    dataConnection_ = std::move(connection);
  }

  // When connected, writes "ABOR" (no reply is read here: the caller reads the replies),
  // then DropDataChannel.
  virtual void SendAbort();
  // Closes the data connection's socket (DropSocket); the object stays in DataConnection.
  virtual void DropDataChannel();
  // Calls OnAfterGet with the stream when assigned.
  virtual void NotifyAfterGet(TIdStream& stream);

 protected:
  // Size of one receive of ReceiveTransfer.
  static constexpr std::size_t kReceiveChunk = 64 * 1024;
  // Calls OnStatus when assigned.
  void ReportStatus(int status, const std::string& text);
  // "USER name" (230, 331), and "PASS password" (230) on 331.
  void LoginAs(const std::string& user, const std::string& password);

  // TLS steps of OpenSession and of the data connections (see TlsMode).
  // Before connecting: a new TLS context for the control connection to host (none without
  // TLS), so that a malformed pin or a build without TLS fails before anything is sent.
  void PrepareSessionTls(const std::string& host);
  // Right after connecting (greetingRead false): Implicit's handshake. After the greeting
  // (true): Explicit's AUTH TLS (234) and handshake. Reports OnTlsEstablished.
  void SecureControlConnection(bool greetingRead);
  // After the login: PBSZ 0, PROT P (200).
  void ProtectDataChannel();
  // A data connection has just been connected (passive) or accepted (active): secure it;
  // startReplySeen runs the handshake now, else it waits for the start reply (ExpectReply).
  void SecureDataConnection(bool startReplySeen);

  std::unique_ptr<TIdTCPConnection> dataConnection_;

 private:
  std::string password_;
  std::string username_;
  bool restartSupported_ = false;
  std::vector<std::string> listingLines_;
  TIdRFCReply loginReply_;
  bool passive_ = false;
  bool pipelinePassive_ = false;
  bool passiveAhead_ = false;
  // PASV asked ahead: its reply unread (pending), or the port it gave (0: none).
  bool aheadWanted_ = false;
  bool aheadPending_ = false;
  bool aheadListening_ = false;  // a 227 came: see PassiveAheadOutstanding
  int aheadPort_ = 0;
  std::chrono::steady_clock::time_point aheadAskedAt_;
  bool askSystem_ = true;
  bool restartProbed_ = false;
  std::string systemDescription_;
  TIdFTPTransferType transferType_ = ftBinary;
  std::unique_ptr<TIdFTPListItems> parsedListing_;
  std::unique_ptr<TIdFtpProxySettings> proxySettings_;
  int dataTimeout_ = 30000;
  bool listingDetails_ = true;  // the last listing was LIST (not NLST)
  TTlsMode tlsMode_ = TTlsMode::None;
  std::string certificatePin_;
  // The control connection's TLS context (null without TLS); data connections share it.
  std::shared_ptr<TIdTLSContext> tlsContext_;
  // The passive data connection waits for the transfer's start reply to begin its TLS.
  bool dataTlsAwaitingStart_ = false;
};

// Splits listing text into lines: CR LF, a lone CR and a lone LF end a line; a NUL ends the
// text; the text after the last line break is the last line when not empty.
std::vector<std::string> SplitListingText(const std::string& text);
