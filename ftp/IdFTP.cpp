#include "ftp/IdFTP.h"

#include <cctype>
#include <chrono>
#include <limits>

#include "net/IdSocketHandle.h"

namespace {

bool TryParseDecimal(const std::string& s, int& out) {
  if (s.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    i = 1;
    if (s.size() == 1) return false;
  }
  long long value = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
    if (value > std::numeric_limits<int>::max()) return false;
  }
  out = static_cast<int>(negative ? -value : value);
  return true;
}

int StrToInt(const std::string& s) {
  int v;
  if (!TryParseDecimal(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
  return v;
}

}  // namespace

// --- settings objects -------------------------------------------------------------------

void TIdPersistent::Assign(const TIdPersistent& source) {
  throw EConvertError(std::string("Cannot assign a ") + source.ClassName() + " to a " +
                      ClassName());
}

void TIdFtpProxySettings::Assign(const TIdPersistent& source) {
  const auto* other = dynamic_cast<const TIdFtpProxySettings*>(&source);
  if (other == nullptr) return TIdPersistent::Assign(source);
  Host = other->Host;
  UserName = other->UserName;
  Password = other->Password;
  ProxyType = other->ProxyType;
  Port = other->Port;
}

std::vector<std::string> SplitListingText(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  bool pending = false;  // text since the last line break
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') break;
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      pending = false;
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      continue;
    }
    current += c;
    pending = true;
  }
  if (pending) lines.push_back(current);
  return lines;
}

TIdFTPFeatures ParseFeatureLines(const std::vector<std::string>& rawLines) {
  TIdFTPFeatures features;
  for (std::size_t i = 1; i + 1 < rawLines.size(); ++i) {
    const std::string& line = rawLines[i];
    if (line.empty() || line[0] != ' ') continue;
    std::string name;
    std::string rest;
    const std::size_t begin = line.find_first_not_of(' ');
    if (begin == std::string::npos) continue;
    const std::size_t end = line.find(' ', begin);
    name = line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (end != std::string::npos) rest = IdTrim(line.substr(end));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : rest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "MLST") {
      features.Mlst = true;
      features.MlstFacts = IdTrim(line.substr(end == std::string::npos ? line.size() : end));
    }
    if (name == "MFMT") features.Mfmt = true;
    if (name == "MDTM") features.Mdtm = true;
    if (name == "SIZE") features.Size = true;
    if (name == "UTF8") features.Utf8 = true;
    if (name == "AUTH" && rest.find("TLS") != std::string::npos) features.AuthTls = true;
  }
  return features;
}

// --- construction -----------------------------------------------------------------------

TIdFTP::TIdFTP() : proxySettings_(std::make_unique<TIdFtpProxySettings>()) {
  SetPort(21);
}

TIdFTP::~TIdFTP() = default;

void TIdFTP::ReportStatus(int status, const std::string& text) {
  if (OnStatus) OnStatus(*this, status, text);
}

void TIdFTP::NotifyAfterGet(TIdStream& stream) {
  if (OnAfterGet) OnAfterGet(*this, stream);
}

void TIdFTP::SetTransferType(TIdFTPTransferType value) {
  if (value == transferType_ || dataConnection_) return;
  transferType_ = value;
  if (IsConnected()) ApplyTransferType();
}

// --- session ----------------------------------------------------------------------------

void TIdFTP::OpenSession(bool autoLogin, int timeoutMs) {
  aheadPending_ = aheadListening_ = false;  // asked on the connection before
  aheadPort_ = 0;
  const std::string host = Host();
  const int port = Port();
  try {
    if (proxySettings_->ProxyType != fpcmNone && !proxySettings_->Host.empty()) {
      SetHost(proxySettings_->Host);
      SetPort(proxySettings_->Port);
    }
    PrepareSessionTls(Host());
    try {
      ConnectToHost(timeoutMs);
    } catch (...) {
      SetHost(host);
      SetPort(port);
      throw;
    }
    SetHost(host);
    SetPort(port);
    SecureControlConnection(false);
    ExpectReply({220});
    GreetingReply() = LastReply();
    SecureControlConnection(true);
    if (autoLogin) {
      PerformLogin();
      ProtectDataChannel();
      if (OnAfterClientLogin) OnAfterClientLogin(*this);
      ApplyTransferType();
      if (!askSystem_) {
        // Known from another session to the same server.
      } else if (SendCmd("SYST", TIdReplyCodes{200, 215, 500}) == 500) {
        systemDescription_ = "Unknown";
      } else {
        systemDescription_ = LastReply().Text().empty() ? std::string() : LastReply().Text()[0];
      }
      ReportStatus(ftpReady, "Connection established");
    }
  } catch (...) {
    CloseConnection();
    throw;
  }
}

// --- TLS ----------------------------------------------------------------------------------

void TIdFTP::PrepareSessionTls(const std::string& host) {
  // One TLS session per control connection: a reconnection starts afresh.
  tlsContext_.reset();
  dataTlsAwaitingStart_ = false;
  if (tlsMode_ != TTlsMode::None)
    tlsContext_ = std::make_shared<TIdTLSContext>(host, certificatePin_);
}

void TIdFTP::SecureControlConnection(bool greetingRead) {
  if (!tlsContext_) return;
  const TTlsMode due = greetingRead ? TTlsMode::Explicit : TTlsMode::Implicit;
  if (tlsMode_ != due) return;
  // A refusal raises with the server's reply: the session never goes on in the clear.
  if (greetingRead) SendCmd("AUTH TLS", TIdReplyCodes{234});
  TIdIOHandlerTLS& tls =
      TIdIOHandlerTLS::Secure(*this, tlsContext_, TIdTLSRole::Control, ReadTimeout(), true);
  if (OnTlsEstablished) OnTlsEstablished(*this, tls.Description());
}

void TIdFTP::ProtectDataChannel() {
  if (!tlsContext_) return;
  SendCmd("PBSZ 0", TIdReplyCodes{200});
  SendCmd("PROT P", TIdReplyCodes{200});
}

void TIdFTP::SecureDataConnection(bool startReplySeen) {
  dataTlsAwaitingStart_ = false;
  if (!tlsContext_ || !dataConnection_) return;
  TIdIOHandlerTLS::Secure(*dataConnection_, tlsContext_, TIdTLSRole::Data, dataTimeout_,
                          startReplySeen);
  dataTlsAwaitingStart_ = !startReplySeen;
}

int TIdFTP::ExpectReply(const TIdReplyCodes& allowed) {
  const int code = TIdTCPClient::ExpectReply(allowed);
  if (dataTlsAwaitingStart_ && code >= 100 && code < 200) {
    dataTlsAwaitingStart_ = false;
    auto* tls =
        dataConnection_ ? dynamic_cast<TIdIOHandlerTLS*>(dataConnection_->IOHandler()) : nullptr;
    if (tls != nullptr) tls->StartTLS(dataTimeout_);
  }
  return code;
}

std::string TIdFTP::TlsDescription() const {
  const auto* tls = dynamic_cast<const TIdIOHandlerTLS*>(IOHandler());
  return tls != nullptr ? tls->Description() : std::string();
}

void TIdFTP::LoginAs(const std::string& user, const std::string& password) {
  if (SendCmd("USER " + user, TIdReplyCodes{230, 331}) == 331)
    SendCmd("PASS " + password, TIdReplyCodes{230});
}

void TIdFTP::PerformLogin() {
  TIdFtpProxySettings& proxy = *proxySettings_;
  auto loginToProxy = [&] {
    if (!proxy.UserName.empty()) LoginAs(proxy.UserName, proxy.Password);
  };
  switch (proxy.ProxyType) {
    case fpcmNone:
      LoginAs(username_, password_);
      break;
    case fpcmUserSite:
      loginToProxy();
      LoginAs(username_ + "@" + Host(), password_);
      break;
    case fpcmSite:
      loginToProxy();
      SendCmd("SITE " + Host(), TIdReplyCodes{});
      LoginAs(username_, password_);
      break;
    case fpcmOpen:
      loginToProxy();
      SendCmd("OPEN " + Host(), TIdReplyCodes{});
      LoginAs(username_, password_);
      break;
    case fpcmUserPass:
      if (SendCmd("USER " + username_ + "@" + proxy.UserName + "@" + Host(),
                  TIdReplyCodes{230, 331}) == 331)
        SendCmd("PASS " + password_ + (proxy.Password.empty() ? "" : "@" + proxy.Password),
                TIdReplyCodes{230});
      break;
    case fpcmTransparent:
      loginToProxy();
      LoginAs(username_, password_);
      break;
    case fpcmHttpProxyWithFtp:
    default:
      throw EIdException("Command not supported.");
  }
  loginReply_ = LastReply();
}

void TIdFTP::ApplyTransferType() {
  SendCmd(std::string("TYPE ") + (transferType_ == ftASCII ? "A" : "I"), TIdReplyCodes{200});
}

bool TIdFTP::ProbeRestartSupport() {
  if (restartProbed_) return restartSupported_;
  restartProbed_ = true;
  restartSupported_ = SendRaw("REST 1") == 350;
  SendRaw("REST 0");
  return restartSupported_;
}

TIdFTPFeatures TIdFTP::RequestFeatures() {
  if (SendCmd("FEAT", TIdReplyCodes{211, 500, 502}) != 211) return TIdFTPFeatures{};
  return ParseFeatureLines(LastReply().Lines());
}

int TIdFTP::SendRaw(const std::string& line) {
  return SendCmd(line, TIdReplyCodes{});
}

void TIdFTP::ChangeRemoteDirectory(const std::string& path) {
  SendCmd("CWD " + path, TIdReplyCodes{200, 250});
}

void TIdFTP::CreateRemoteDirectory(const std::string& path) {
  SendCmd("MKD " + path, TIdReplyCodes{257});
}

void TIdFTP::RemoveRemoteDirectory(const std::string& path) {
  SendCmd("RMD " + path, TIdReplyCodes{250});
}

void TIdFTP::DeleteRemoteFile(const std::string& path) {
  SendCmd("DELE " + path, TIdReplyCodes{250});
}

void TIdFTP::RenameRemote(const std::string& oldPath, const std::string& newPath) {
  SendCmd("RNFR " + oldPath, TIdReplyCodes{350});
  SendCmd("RNTO " + newPath, TIdReplyCodes{250});
}

// --- parsed listing ---------------------------------------------------------------------

TIdFTPListItems& TIdFTP::ParsedListing() {
  if (parsedListing_) return *parsedListing_;
  std::unique_ptr<TIdFTPListItems> list;
  if (OnCreateFTPList) OnCreateFTPList(*this, list);
  if (!list) list = std::make_unique<TIdFTPListItems>();
  parsedListing_ = std::move(list);
  if (!listingLines_.empty()) {
    TIdFTPListFormat format = parsedListing_->GuessFormat(listingLines_[0], listingDetails_);
    parsedListing_->DetectedFormat = format;
    if (OnCheckListFormat) {
      OnCheckListFormat(*this, listingLines_[0], format);
      parsedListing_->DetectedFormat = format;
    }
    parsedListing_->ParseLines(listingLines_);
  }
  return *parsedListing_;
}

TIdOnParseCustomListFormat TIdFTP::GetOnParseCustomListFormat() {
  return ParsedListing().OnParseCustomListFormat;
}

void TIdFTP::SetOnParseCustomListFormat(TIdOnParseCustomListFormat handler) {
  ParsedListing().OnParseCustomListFormat = std::move(handler);
}

// --- data connections -------------------------------------------------------------------

void TIdFTP::ParsePassiveReply(const std::string& replyLine, std::string& host, int& port) {
  const std::string line = IdTrim(replyLine);
  std::string kept;
  const size_t open = line.find('(');
  const size_t close = line.find(')');
  if (open != std::string::npos && close != std::string::npos) {
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." A ")" before the "(" keeps nothing.
    kept = close > open ? line.substr(open + 1, close - open - 1) : std::string();
  } else {
    const size_t space = line.rfind(' ');
    kept = space == std::string::npos ? line : line.substr(space + 1);
  }
  std::vector<std::string> fields;
  size_t pos = 0;
  while (fields.size() < 6) {
    const size_t comma = kept.find(',', pos);
    fields.push_back(
        kept.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  while (fields.size() < 6) fields.emplace_back();
  const int high = StrToInt(fields[4]);
  const int low = StrToInt(fields[5]);
  // Each port field is one byte; anything else would overflow or reach another port.
  if (high < 0 || high > 255 || low < 0 || low > 255)
    throw EConvertError("Invalid port in passive reply: " + fields[4] + "," + fields[5]);
  host = fields[0] + "." + fields[1] + "." + fields[2] + "." + fields[3];
  port = high * 256 + low;
}

void TIdFTP::RequestPassiveEndpoint(std::string& host, int& port) {
  SendCmd("PASV", TIdReplyCodes{227});
  port = PassivePortOfLastReply(&host);
}

int TIdFTP::PassivePortOfLastReply(std::string* host) {
  std::string ignored;
  int port = 0;
  const auto& text = LastReply().Text();
  ParsePassiveReply(text.empty() ? std::string() : text[0], host ? *host : ignored, port);
  return port;
}

void TIdFTP::SendPortCommand(const TIdSocketHandle& binding) {
  std::string ip = binding.IP();
  for (char& c : ip)
    if (c == '.') c = ',';
  const int p = binding.Port();
  SendCmd("PORT " + ip + "," + std::to_string(p / 256) + "," + std::to_string(p % 256),
          TIdReplyCodes{200});
}

void TIdFTP::PrepareDataChannel() {
  if (!dataConnection_) return;
  dataConnection_->SetSendBufferSize(SendBufferSize());
  dataConnection_->SetRecvBufferSize(RecvBufferSize());
  // Bounded: a server that stops sending without closing must not stall the caller.
  dataConnection_->SetReadTimeout(dataTimeout_);
}

void TIdFTP::FreeDataConnection() {
  dataTlsAwaitingStart_ = false;
  if (!dataConnection_) return;
  dataConnection_->CloseConnection();
  dataConnection_.reset();
}

void TIdFTP::OpenDataConnection() {
  try {
    if (passive_) {
      std::string host;
      int port = 0;
      RequestPassiveEndpoint(host, port);
      ConnectPassiveData(port);
    } else {
      auto server = std::make_unique<TIdSimpleServer>();
      TIdSimpleServer& s = *server;
      dataConnection_ = std::move(server);
      PrepareDataChannel();
      s.AcceptTimeout = dataTimeout_;
      TIdSocketHandle* control = Binding();
      if (control == nullptr) throw EIdNotConnected("Not Connected");
      s.BoundIP = control->IP();
      s.AllowedPeerIP = control->PeerIP();
      s.StartListening();
      SendPortCommand(*s.Binding());
    }
  } catch (...) {
    FreeDataConnection();
    throw;
  }
}

namespace {

// Restores a connection's read time-out on every exit.
class TReadTimeoutScope {
 public:
  TReadTimeoutScope(TIdTCPConnection& c, int ms) : c_(c), saved_(c.ReadTimeout()) {
    c_.SetReadTimeout(ms);
  }
  ~TReadTimeoutScope() { c_.SetReadTimeout(saved_); }
  TReadTimeoutScope(const TReadTimeoutScope&) = delete;
  TReadTimeoutScope& operator=(const TReadTimeoutScope&) = delete;

 private:
  TIdTCPConnection& c_;
  int saved_;
};

}  // namespace

void TIdFTP::ConnectPassiveData(int port) {
  // The reply's address is not trusted: a hostile or misconfigured server could point the
  // transfer at a third party. The data connection goes to the server we are talking to, as
  // it must for every server that is not an FTP proxy, on the announced port.
  TIdSocketHandle* control = Binding();
  if (control == nullptr) throw EIdNotConnected("Not Connected");
  if (port == control->PeerPort())
    throw EIdException("Passive reply names the control connection's port.");
  auto client = std::make_unique<TIdTCPClient>();
  TIdTCPClient& c = *client;
  dataConnection_ = std::move(client);
  PrepareDataChannel();
  c.SetHost(control->PeerIP());
  c.SetPort(port);
  c.ConnectToHost(DataConnectTimeout());
  SecureDataConnection(false);
}

void TIdFTP::AskPassiveAhead() {
  // Wanted only after a pipelined passive transfer with PassiveAhead on.
  if (!aheadWanted_ || dataConnection_ || aheadPending_ || aheadPort_ != 0 || !IsConnected())
    return;
  aheadWanted_ = false;
  try {
    WriteLine("PASV");
    aheadPending_ = true;
    aheadAskedAt_ = std::chrono::steady_clock::now();
  } catch (...) {
    CloseConnection();
  }
}

void TIdFTP::TakePassiveAhead(TAheadUse use) {
  if (aheadPending_) {
    aheadPending_ = false;
    try {
      TReadTimeoutScope timeout(*this, kClosingReplyTimeout);
      ReadReply();
      const int code = LastReply().NumericCode();
      if (code == 227) {
        aheadListening_ = true;
        aheadPort_ = PassivePortOfLastReply();
      } else if (code == 421) {
        CloseConnection();
      }
    } catch (...) {
      aheadPort_ = 0;
      CloseConnection();
    }
  }
  if (use != TAheadUse::Keep) aheadPort_ = 0;
  if (use == TAheadUse::Replace) aheadListening_ = false;
}

int TIdFTP::PassiveAheadState() {
  if (aheadPort_ != 0) return 2;
  if (!aheadPending_) return 0;
  TIdSocketHandle* control = Binding();
  return PendingInput().Size() > 0 || (control != nullptr && control->WaitReadable(0)) ? 2 : 1;
}

void TIdFTP::DropPassiveAhead() {
  TakePassiveAhead(TAheadUse::Forget);
  const bool listening = aheadListening_;
  aheadListening_ = false;
  if (!listening || !IsConnected()) return;
  try {
    TReadTimeoutScope timeout(*this, kClosingReplyTimeout);
    WriteLine("ABOR");
    ReadReply();
    if (LastReply().NumericCode() >= 300) CloseConnection();
  } catch (...) {
    CloseConnection();
  }
}

void TIdFTP::OpenPipelinedTransfer(const std::string& command) {
  aheadWanted_ = passiveAhead_;  // a session that transfers is likely to transfer again
  bool ahead = (aheadPending_ || aheadPort_ != 0) &&
               PassiveAheadAge() < std::chrono::milliseconds(kPassiveAheadMs);
  if (ahead && !aheadPending_) {
    // The endpoint's reply came long ago: connect first, so that a listener the server has
    // given up costs only a new PASV.
    const int port = aheadPort_;
    aheadPort_ = 0;
    aheadListening_ = false;  // used now, or replaced by the PASV below
    ahead = false;
    try {
      ConnectPassiveData(port);
      WriteLine(command);
      return;
    } catch (...) {
      FreeDataConnection();
      if (!IsConnected()) throw;
    }
  }
  for (;;) {
    if (ahead) {
      aheadPending_ = false;  // this command's endpoint is the reply read below
      WriteLine(command);
    } else {
      TakePassiveAhead(TAheadUse::Replace);  // unused: the PASV below replaces it
      WriteLines({"PASV", command});
    }
    try {
      ReadReply();
    } catch (...) {
      CloseConnection();
      throw;
    }
    const int code = LastReply().NumericCode();
    if (code == 227) break;
    const TIdRFCReply refusal = LastReply();
    if (code == 421) {
      CloseConnection();  // the server is closing it
    } else {
      // Without an endpoint the command cannot start, but it is answered: that answer is
      // taken here so that the next command reads its own.
      try {
        TReadTimeoutScope timeout(*this, kClosingReplyTimeout);
        ReadReply();
        const int next = LastReply().NumericCode();
        if (next >= 100 && next < 200) CloseConnection();  // started after all: out of step
      } catch (...) {
        CloseConnection();
      }
    }
    // A refused PASV asked ahead is not this command's answer: once more with a PASV of its own.
    if (ahead && IsConnected()) {
      ahead = false;
      continue;
    }
    LastReply() = refusal;
    CheckReplyCode(code, TIdReplyCodes{227});
  }
  try {
    ConnectPassiveData(PassivePortOfLastReply());
  } catch (...) {
    FreeDataConnection();
    CloseConnection();
    throw;
  }
}

void TIdFTP::AcceptDataConnection() {
  auto* server = dynamic_cast<TIdSimpleServer*>(dataConnection_.get());
  if (server != nullptr && server->IsListening() && server->AcceptConnection())
    SecureDataConnection(true);
}

void TIdStallGuard::Progress(std::size_t bytes) {
  const auto now = std::chrono::steady_clock::now();
  windowBytes_ += bytes;
  if (now - windowStart_ < std::chrono::milliseconds(kWindowMs)) return;
  if (windowBytes_ < kMinimumBytes) throw EIdReadTimeout("Data connection stalled.");
  windowStart_ = now;
  windowBytes_ = 0;
}

void TIdFTP::StartInboundTransfer(const std::string& command, std::int64_t restartAt) {
  const bool pipelined = passive_ && pipelinePassive_ && restartAt < 0;
  if (pipelined)
    OpenPipelinedTransfer(command);
  else
    OpenDataConnection();
  try {
    if (restartAt >= 0) SendCmd("REST " + std::to_string(restartAt), TIdReplyCodes{350});
    if (passive_) {
      if (!pipelined) WriteLine(command);
      ExpectReply({125, 150, 154});
    } else {
      SendCmd(command, TIdReplyCodes{125, 150, 154});
      AcceptDataConnection();
    }
  } catch (...) {
    // Refused before any data: the refusal was the command's whole answer (but an accept that
    // failed after the 1xx reply leaves the closing reply to be taken or the session dropped).
    const bool replyPending = LastReply().NumericCode() >= 100 && LastReply().NumericCode() < 200;
    FreeDataConnection();
    if (replyPending) SettleAfterFailedTransfer();
    throw;
  }
}

void TIdFTP::SettleAfterFailedTransfer() {
  FreeDataConnection();
  if (!IsConnected()) return;
  // The server still owes the transfer's closing reply; left unread, the next command would
  // take it for its own answer. Take it now, or drop the session if it does not come.
  try {
    TReadTimeoutScope timeout(*this, kClosingReplyTimeout);
    for (int skipped = 0; skipped < 4; ++skipped) {
      ReadReply();
      const int code = LastReply().NumericCode();
      if (code < 100 || code > 199) return;
    }
    CloseConnection();
  } catch (...) {
    CloseConnection();
  }
}

void TIdFTP::FinishInboundTransfer() {
  FreeDataConnection();
  ReportStatus(ftpReady, "Transfer complete");
  // The closing reply decides: anything but success means the data may be incomplete.
  ExpectReply({225, 226, 250});
}

void TIdFTP::ReceiveTransfer(const std::string& command, std::int64_t restartAt,
                             const std::function<void(const char*, std::size_t)>& onData) {
  ReportStatus(ftpTransfer, "Starting FTP transfer");
  StartInboundTransfer(command, restartAt);
  try {
    TIdTCPConnection& data = *dataConnection_;
    TIdStallGuard stall;
    std::vector<char> buffer(kReceiveChunk);
    for (;;) {
      long n = 0;
      try {
        n = data.ReadAvailable(buffer.data(), static_cast<long>(buffer.size()));
      } catch (const EIdConnClosedGracefully&) {
        break;
      }
      stall.Progress(static_cast<std::size_t>(n));
      onData(buffer.data(), static_cast<std::size_t>(n));
    }
  } catch (...) {
    ReportStatus(ftpReady, "Transfer complete");
    SettleAfterFailedTransfer();
    throw;
  }
  FinishInboundTransfer();
}

void TIdFTP::ReceiveToStream(const std::string& command, TIdStream& stream, bool resume) {
  ReceiveTransfer(command, resume ? stream.Position() : -1,
                  [&](const char* bytes, std::size_t n) { stream.Write(bytes, n); });
}

void TIdFTP::ReceiveLines(const std::string& command,
                          const std::function<void(const std::string&)>& onLine) {
  std::string line;
  std::int64_t bytes = 0;
  std::int64_t lines = 0;
  bool ended = false;     // a NUL ends the text
  bool overlong = false;  // a line past the length limit is no entry of any server: left out
  auto emit = [&] {
    if (++lines > kMaxListingLines)
      throw EIdListingTooLarge("Listing has more than " + std::to_string(kMaxListingLines) +
                               " lines.");
    if (!overlong) onLine(line);
    overlong = false;
    line.clear();
  };
  bool pendingCR = false;
  ReceiveTransfer(command, -1, [&](const char* data, std::size_t n) {
    bytes += static_cast<std::int64_t>(n);
    if (bytes > kMaxListingBytes)
      throw EIdListingTooLarge("Listing is larger than " + std::to_string(kMaxListingBytes >> 20) +
                               " MiB.");
    for (std::size_t i = 0; i < n && !ended; ++i) {
      const char c = data[i];
      if (pendingCR) {
        pendingCR = false;
        if (c == '\n') continue;  // the LF of a CR LF
      }
      if (c == '\0') {
        ended = true;
      } else if (c == '\r' || c == '\n') {
        pendingCR = c == '\r';
        emit();
      } else if (line.size() < kMaxListingLineLength) {
        line += c;
      } else {
        overlong = true;
      }
    }
  });
  if (!line.empty() || overlong) emit();
}

void TIdFTP::RequestListing(std::vector<std::string>* destination, const std::string& specifier,
                            bool details) {
  const std::string command = IdTrim((details ? "LIST " : "NLST ") + specifier);
  std::vector<std::string> lines;
  ReceiveLines(command, [&](const std::string& line) { lines.push_back(line); });
  parsedListing_.reset();
  listingDetails_ = details;
  if (destination != nullptr) *destination = lines;
  listingLines_ = std::move(lines);
}

void TIdFTP::SendAbort() {
  if (IsConnected()) WriteLine("ABOR");
  DropDataChannel();
}

void TIdFTP::DropDataChannel() {
  if (dataConnection_) dataConnection_->DropSocket();
}
