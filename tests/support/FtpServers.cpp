#include "tests/support/FtpServers.h"

#include <crypt.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "platform/Socket.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

#ifndef VELDRA_TEST_SUPPORT_DIR
#define VELDRA_TEST_SUPPORT_DIR "tests/support"
#endif

namespace veldra::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReadySeconds = 10;

std::string FtpdDir() {
  const char* env = std::getenv("VELDRA_FTPD_DIR");
  return env && *env ? env : "/opt/veldra-ftpd";
}

std::string Tail(const std::string& text, std::size_t max = 2000) {
  return text.size() <= max ? text : "..." + text.substr(text.size() - max);
}

bool PortBindable(int port) {
  platform::UniqueSocket s(platform::CreateSocket(platform::kSocketStream, 0));
  return s.Valid() && platform::BindSocket(s.Get(), 0x7F000001, static_cast<uint16_t>(port)) == 0;
}

// A block of `count` consecutive free ports below the kernel's ephemeral range, so that
// client sockets do not take them while the server starts.
int FindFreePortBlock(int count) {
  static std::mt19937 rng(static_cast<unsigned>(::getpid()) ^
                          static_cast<unsigned>(Clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<int> pick(20000, 32000 - count);
  for (int attempt = 0; attempt < 200; ++attempt) {
    int base = pick(rng);
    bool ok = true;
    for (int p = base; p < base + count && ok; ++p) ok = PortBindable(p);
    if (ok) return base;
  }
  throw ServerStartError("no block of " + std::to_string(count) + " free ports on 127.0.0.1");
}

std::string ReadIfExists(const std::string& path) {
  try {
    return Exists(path) ? ReadFile(path) : std::string();
  } catch (...) {
    return {};
  }
}

// Serialises account changes between concurrently running test processes (the accounts are
// the machine's).
class AccountLock {
 public:
  AccountLock()
      : fd_(::open("/tmp/veldra-test-accounts.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~AccountLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  AccountLock(const AccountLock&) = delete;
  AccountLock& operator=(const AccountLock&) = delete;

 private:
  int fd_;
};

// The system account the non-python servers run sessions as; created when missing, its
// system password set to `password` when `systemPassword` (vsftpd logs in through PAM).
void EnsureAccount(const std::string& user, const std::string& password, bool systemPassword,
                   uid_t& uid, gid_t& gid) {
  if (user.empty() || user.find_first_of(":\n/ ") != std::string::npos)
    throw ServerStartError("unusable test account name '" + user + "'");
  AccountLock lock;
  if (::getpwnam(user.c_str()) == nullptr) {
    int rc = RunCommand({"useradd", "--system", "--no-create-home", "--home-dir", "/", "--shell",
                         "/bin/sh", user})
                 .status;
    if (rc != 0 && ::getpwnam(user.c_str()) == nullptr)
      throw ServerStartError("cannot create the test account '" + user +
                             "' (useradd: " + std::to_string(rc) + "); tests must run as root");
  }
  passwd* pw = ::getpwnam(user.c_str());
  if (!pw) throw ServerStartError("test account '" + user + "' missing after useradd");
  uid = pw->pw_uid;
  gid = pw->pw_gid;
  // vsftpd enters the home directory before its own root: it must exist.
  if (!pw->pw_dir || !fs::is_directory(pw->pw_dir)) RunCommand({"usermod", "--home", "/", user});
  if (!systemPassword) return;
  spwd* sp = ::getspnam(user.c_str());
  if (sp && sp->sp_pwdp && sp->sp_pwdp[0] == '$') {
    crypt_data data{};
    const char* h = ::crypt_r(password.c_str(), sp->sp_pwdp, &data);
    if (h && std::strcmp(h, sp->sp_pwdp) == 0) return;
  }
  if (RunCommand({"chpasswd"}, 60, user + ":" + password + "\n").status != 0)
    throw ServerStartError("cannot set the password of '" + user + "' (chpasswd)");
}

std::string GroupName(gid_t gid) {
  group* g = ::getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

std::string CryptSha512(const std::string& password) {
  crypt_data data{};
  const char* salt = ::crypt_gensalt_rn("$6$", 0, nullptr, 0, data.setting, sizeof data.setting);
  const char* h = salt ? ::crypt_rn(password.c_str(), salt, &data, sizeof data) : nullptr;
  if (!h || h[0] == '*') throw ServerStartError("crypt failed");
  return h;
}

// rootWritable false: the root itself stays root's, mode 0755 (vsftpd refuses an anonymous
// root that the session account can write).
void ChownTree(const std::string& root, uid_t uid, gid_t gid, bool rootWritable) {
  if (rootWritable) {
    ::lchown(root.c_str(), uid, gid);
    ::chmod(root.c_str(), 0777);
  } else {
    ::lchown(root.c_str(), 0, 0);
    ::chmod(root.c_str(), 0755);
  }
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    ::lchown(it->path().c_str(), uid, gid);
}

}  // namespace

const char* KindName(ServerKind kind) {
  switch (kind) {
    case ServerKind::Pyftpdlib:
      return "pyftpdlib";
    case ServerKind::Vsftpd:
      return "vsftpd";
    case ServerKind::PureFtpd:
      return "pure-ftpd";
    case ServerKind::Proftpd:
      return "proftpd";
  }
  return "?";
}

TestFtpServer::TestFtpServer(ServerKind kind, const std::string& root, const ServerOptions& options)
    : kind_(kind), root_(fs::absolute(root).lexically_normal().string()), options_(options) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (!fs::is_directory(root_))
    throw ServerStartError(std::string(Name()) + ": root " + root_ + " is not a directory");
  if (kind_ == ServerKind::PureFtpd && (options_.anonymous || !options_.allowWrite))
    throw ServerStartError("pure-ftpd: anonymous and read-only set-ups are not offered");
  if (kind_ == ServerKind::Vsftpd && options_.anonymous && options_.allowWrite)
    throw ServerStartError("vsftpd: anonymous access is offered read-only (allowWrite = false)");
  if (kind_ != ServerKind::Pyftpdlib && options_.faults)
    throw ServerStartError(std::string(Name()) + ": fault injection is offered by pyftpdlib only");
  if (options_.tls == TTlsMode::Implicit &&
      (kind_ == ServerKind::Pyftpdlib || kind_ == ServerKind::PureFtpd))
    throw ServerStartError(std::string(Name()) + ": implicit TLS is not offered");
  if (options_.passivePorts < 2) options_.passivePorts = 2;
  conf_ = std::make_unique<TempDir>(std::string("veldra-") + Name());
  if (options_.tls != TTlsMode::None && options_.tlsCertificate.empty()) {
    options_.tlsCertificate = conf_->Path() + "/cert.pem";
    options_.tlsKey = conf_->Path() + "/key.pem";
    if (RunCommand({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                    options_.tlsKey, "-out", options_.tlsCertificate})
            .status != 0)
      throw ServerStartError(std::string(Name()) + ": openssl req failed (package openssl)");
  }
  if (kind_ != ServerKind::Pyftpdlib) {
    EnsureAccount(options_.user, options_.password, kind_ == ServerKind::Vsftpd, uid_, gid_);
    OwnTree();
  }
  // A port taken between the check and the server's bind shows as an early exit: retry.
  std::string why;
  for (int attempt = 0; attempt < 4; ++attempt) {
    int base = FindFreePortBlock(1 + options_.passivePorts);
    port_ = base;
    pasvMin_ = base + 1;
    pasvMax_ = base + options_.passivePorts;
    WriteConfig();
    Launch();
    if (WaitReady(why)) return;
    std::string log = LogText();
    Stop();
    if (why.find("timed out") != std::string::npos) break;
    why += "\n" + Tail(log);
  }
  throw ServerStartError(std::string(Name()) + " did not start on 127.0.0.1:" +
                         std::to_string(port_) + ": " + why + "\n--- log ---\n" + Tail(LogText()));
}

TestFtpServer::~TestFtpServer() {
  Stop();
}

std::string TestFtpServer::Url() const {
  return std::string(options_.tls == TTlsMode::Implicit ? "ftps://" : "ftp://") + options_.user +
         ":" + options_.password + "@127.0.0.1:" + std::to_string(port_) + "/";
}

void TestFtpServer::OwnTree() {
  if (kind_ != ServerKind::Pyftpdlib)
    ChownTree(root_, uid_, gid_, !(kind_ == ServerKind::Vsftpd && options_.anonymous));
}

std::string TestFtpServer::LogText() const {
  std::string text = ReadIfExists(conf_->Path() + "/server.log");
  std::string own = ReadIfExists(conf_->Path() + "/own.log");
  if (!own.empty()) text += "\n--- own log ---\n" + own;
  return text;
}

void TestFtpServer::Stop() {
  process_.reset();  // kills the server and every session
}

void TestFtpServer::Restart() {
  Stop();
  std::string why;
  // The old listening port may linger briefly; retry a few times within a bounded time.
  for (int attempt = 0; attempt < 5; ++attempt) {
    Launch();
    if (WaitReady(why)) return;
    Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  throw ServerStartError(std::string(Name()) + " did not restart on port " + std::to_string(port_) +
                         ": " + why + "\n--- log ---\n" + Tail(LogText()));
}

void TestFtpServer::WriteConfig() {
  const std::string c = conf_->Path();
  const std::string P = std::to_string(port_);
  const int idle = options_.idleTimeoutSeconds, data = options_.dataTimeoutSeconds;
  std::ostringstream o;
  switch (kind_) {
    case ServerKind::Pyftpdlib:
      break;
    case ServerKind::Vsftpd: {
      MakeDirs(c + "/empty");
      ::chmod((c + "/empty").c_str(), 0755);
      o << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << P
        << "\nbackground=NO\nrun_as_launching_user=NO\nseccomp_sandbox=NO\n"
        << "pasv_enable=YES\npasv_min_port=" << pasvMin_ << "\npasv_max_port=" << pasvMax_
        << "\npasv_address=127.0.0.1\nport_enable=YES\nconnect_from_port_20=NO\n"
        << "local_enable=YES\nlocal_root=" << root_ << "\nchroot_local_user=YES\n"
        << "allow_writeable_chroot=YES\nwrite_enable=" << (options_.allowWrite ? "YES" : "NO")
        << "\nlocal_umask=022\nfile_open_mode=0666\n"
        << "anonymous_enable=" << (options_.anonymous ? "YES" : "NO") << "\nanon_root=" << root_
        << "\nftp_username=" << options_.user << "\nno_anon_password=YES\n"
        << "anon_upload_enable=" << (options_.allowWrite ? "YES" : "NO")
        << "\nanon_mkdir_write_enable=" << (options_.allowWrite ? "YES" : "NO")
        << "\nanon_other_write_enable=" << (options_.allowWrite ? "YES" : "NO")
        << "\nanon_umask=022\nanon_world_readable_only=NO\n"
        << "secure_chroot_dir=" << c << "/empty\npam_service_name=vsftpd\n"
        << "userlist_enable=NO\ntcp_wrappers=NO\nforce_dot_files=NO\nasync_abor_enable=YES\n"
        << "max_clients=0\nmax_per_ip=" << options_.maxPerIp
        << "\nxferlog_enable=YES\nvsftpd_log_file=" << c
        << "/own.log\nlog_ftp_protocol=YES\ndual_log_enable=NO\nsyslog_enable=NO\n"
        << "ftpd_banner=veldra test server ready\n";
      // Strict ends: a transfer that ends without close_notify fails.
      if (options_.tls != TTlsMode::None)
        o << "ssl_enable=YES\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
          << "strict_ssl_read_eof=YES\nstrict_ssl_write_shutdown=YES\n"
          << "rsa_cert_file=" << options_.tlsCertificate
          << "\nrsa_private_key_file=" << options_.tlsKey
          << "\nimplicit_ssl=" << (options_.tls == TTlsMode::Implicit ? "YES" : "NO") << "\n";
      if (idle > 0) o << "idle_session_timeout=" << idle << "\n";
      if (data > 0) o << "data_connection_timeout=" << data << "\n";
      if (options_.maxRate > 0) o << "local_max_rate=" << options_.maxRate << "\n";
      WriteFile(c + "/vsftpd.conf", o.str());
      ::chmod((c + "/vsftpd.conf").c_str(), 0600);
      break;
    }
    case ServerKind::PureFtpd: {
      // The passwd file is written here with a SHA-512 crypt hash: pure-pw's own default
      // (argon2 with a high cost) makes every login take seconds.
      std::string pw = FtpdDir() + "/root/usr/bin/pure-pw";
      RemoveTree(c + "/pureftpd.pdb");
      WriteFile(c + "/pureftpd.passwd", options_.user + ":" + CryptSha512(options_.password) + ":" +
                                            std::to_string(uid_) + ":" + std::to_string(gid_) +
                                            "::" + root_ + "/./::::::::::::\n");
      ::chmod((c + "/pureftpd.passwd").c_str(), 0600);
      const CommandResult rc =
          RunCommand({pw, "mkdb", c + "/pureftpd.pdb", "-f", c + "/pureftpd.passwd"});
      if (rc.status != 0)
        throw ServerStartError("pure-ftpd: pure-pw mkdb failed (" + std::to_string(rc.status) +
                               ") at " + pw + "; run scripts/ftp-servers.sh: " + rc.Text());
      break;
    }
    case ServerKind::Proftpd: {
      WriteFile(c + "/passwd", options_.user + ":" + CryptSha512(options_.password) + ":" +
                                   std::to_string(uid_) + ":" + std::to_string(gid_) +
                                   "::" + root_ + ":/bin/sh\n");
      WriteFile(c + "/group",
                GroupName(gid_) + ":x:" + std::to_string(gid_) + ":" + options_.user + "\n");
      ::chmod((c + "/passwd").c_str(), 0600);
      ::chmod((c + "/group").c_str(), 0600);
      o << "ServerType standalone\nServerName \"veldra test server ready\"\nDefaultServer on\n"
        << "Port " << P << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
        << "PassivePorts " << pasvMin_ << " " << pasvMax_ << "\n"
        << "User " << options_.user << "\nGroup " << GroupName(gid_)
        << "\nUmask 022\nMaxInstances 100\n"
        << "PidFile " << c << "/proftpd.pid\nScoreboardFile " << c << "/proftpd.scoreboard\n"
        << "DelayTable none\nWtmpLog off\nUseReverseDNS off\nUseLastlog off\n"
        << "AuthOrder mod_auth_file.c\nAuthUserFile " << c << "/passwd\nAuthGroupFile " << c
        << "/group\nRequireValidShell off\nAuthPAM off\nDefaultRoot ~\n"
        << "SystemLog " << c << "/own.log\nTransferLog none\n"
        << "AllowOverwrite on\nAllowStoreRestart on\nAllowRetrieveRestart on\n"
        << "MaxClientsPerHost none\nMaxLoginAttempts 100\n";
      if (idle > 0) o << "TimeoutIdle " << idle << "\nTimeoutNoTransfer " << idle << "\n";
      if (data > 0) o << "TimeoutStalled " << data << "\n";
      if (!options_.allowWrite) o << "<Limit WRITE>\n  DenyAll\n</Limit>\n";
      if (options_.tls != TTlsMode::None)
        o << "ModulePath " << FtpdDir() << "/root/usr/lib/proftpd\nLoadModule mod_tls.c\n"
          << "TLSEngine on\nTLSRequired on\nTLSProtocol TLSv1.2 TLSv1.3\nTLSVerifyClient off\n"
          << "TLSRSACertificateFile " << options_.tlsCertificate << "\nTLSRSACertificateKeyFile "
          << options_.tlsKey << "\nTLSLog " << c << "/own.log\n"
          << (options_.tls == TTlsMode::Implicit ? "TLSOptions UseImplicitSSL\n" : "");
      if (options_.anonymous)
        o << "<Anonymous " << root_ << ">\n  User " << options_.user << "\n  Group "
          << GroupName(gid_) << "\n  UserAlias anonymous " << options_.user
          << "\n  RequireValidShell off\n"
          << "  AnonRequirePassword off\n</Anonymous>\n";
      WriteFile(c + "/proftpd.conf", o.str());
      ::chmod((c + "/proftpd.conf").c_str(), 0644);
      break;
    }
  }
}

void TestFtpServer::Launch() {
  const std::string c = conf_->Path();
  std::vector<std::string> argv;
  switch (kind_) {
    case ServerKind::Pyftpdlib:
      argv = {"/usr/bin/python3", std::string(VELDRA_TEST_SUPPORT_DIR) + "/pyftpd_server.py",
              "--root",           root_,
              "--port",           std::to_string(port_),
              "--pasv-min",       std::to_string(pasvMin_),
              "--pasv-max",       std::to_string(pasvMax_),
              "--user",           options_.user,
              "--password",       options_.password};
      if (options_.anonymous) argv.push_back("--anonymous");
      if (!options_.allowWrite) argv.push_back("--read-only");
      if (options_.idleTimeoutSeconds > 0)
        argv.insert(argv.end(), {"--idle-timeout", std::to_string(options_.idleTimeoutSeconds)});
      if (options_.dataTimeoutSeconds > 0)
        argv.insert(argv.end(), {"--data-timeout", std::to_string(options_.dataTimeoutSeconds)});
      if (options_.faults)
        argv.insert(argv.end(),
                    {"--faults", "--fault-after", std::to_string(options_.faultAfterBytes),
                     "--stall-seconds", std::to_string(options_.stallSeconds)});
      if (options_.tls != TTlsMode::None)
        argv.insert(argv.end(),
                    {"--tls-cert", options_.tlsCertificate, "--tls-key", options_.tlsKey});
      break;
    case ServerKind::Vsftpd:
      if (!Exists("/usr/sbin/vsftpd"))
        throw ServerStartError("vsftpd: /usr/sbin/vsftpd missing; run scripts/ftp-servers.sh");
      argv = {"/usr/sbin/vsftpd", c + "/vsftpd.conf"};
      break;
    case ServerKind::PureFtpd: {
      std::string bin = FtpdDir() + "/root/usr/sbin/pure-ftpd";
      if (!Exists(bin))
        throw ServerStartError("pure-ftpd: " + bin + " missing; run scripts/ftp-servers.sh");
      argv = {bin,
              "-S",
              "127.0.0.1," + std::to_string(port_),
              "-p",
              std::to_string(pasvMin_) + ":" + std::to_string(pasvMax_),
              "-l",
              "puredb:" + c + "/pureftpd.pdb",
              "-E",
              "-A",
              "-H",
              "-u",
              "1",
              "-c",
              "100",
              "-C",
              "100",
              "-g",
              c + "/pure-ftpd.pid",
              "-d"};
      if (options_.idleTimeoutSeconds > 0)
        argv.insert(argv.end(), {"-I", std::to_string((options_.idleTimeoutSeconds + 59) / 60)});
      if (options_.tls != TTlsMode::None)
        argv.insert(argv.end(), {"-Y", "3", "-2", options_.tlsCertificate + "," + options_.tlsKey});
      break;
    }
    case ServerKind::Proftpd: {
      std::string bin = FtpdDir() + "/root/usr/sbin/proftpd";
      if (!Exists(bin))
        throw ServerStartError("proftpd: " + bin + " missing; run scripts/ftp-servers.sh");
      argv = {bin, "-n", "-q", "-c", c + "/proftpd.conf"};
      break;
    }
  }
  process_ = std::make_unique<Process>(argv, "", c + "/server.log");
}

bool TestFtpServer::WaitReady(std::string& why) {
  const auto deadline = Clock::now() + std::chrono::seconds(kReadySeconds);
  while (Clock::now() < deadline) {
    if (process_->WaitForExit(0)) {
      const int status = process_->Result().status;
      process_.reset();
      why = "exited with status " + std::to_string(status);
      return false;
    }
    platform::UniqueSocket s(platform::CreateSocket(platform::kSocketStream, 0));
    if (platform::ConnectSocket(s.Get(), 0x7F000001, static_cast<uint16_t>(port_)) == 0) {
      if (options_.tls == TTlsMode::Implicit) return true;  // its greeting comes inside TLS
      std::string got;
      char buf[512];
      long n;
      while (got.find('\n') == std::string::npos &&
             (n = platform::RecvSocket(s.Get(), buf, sizeof buf, 3000)) > 0)
        got.append(buf, static_cast<std::size_t>(n));
      if (got.rfind("220", 0) == 0) return true;
      why = "greeting was '" + got + "'";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  why = "timed out after " + std::to_string(kReadySeconds) + " s waiting for \"220\"";
  return false;
}

std::unique_ptr<TestFtpServer> StartServer(ServerKind kind, const std::string& root,
                                           const ServerOptions& options) {
  return std::make_unique<TestFtpServer>(kind, root, options);
}
std::unique_ptr<TestFtpServer> StartPyftpdlib(const std::string& root, const ServerOptions& o) {
  return StartServer(ServerKind::Pyftpdlib, root, o);
}
std::unique_ptr<TestFtpServer> StartVsftpd(const std::string& root, const ServerOptions& o) {
  return StartServer(ServerKind::Vsftpd, root, o);
}
std::unique_ptr<TestFtpServer> StartPureFtpd(const std::string& root, const ServerOptions& o) {
  return StartServer(ServerKind::PureFtpd, root, o);
}
std::unique_ptr<TestFtpServer> StartProftpd(const std::string& root, const ServerOptions& o) {
  return StartServer(ServerKind::Proftpd, root, o);
}

TDeviceSettings DeviceSettingsFor(const TestFtpServer& server, bool passive,
                                  const std::string& remotePath) {
  TDeviceSettings settings;
  settings.Host = "127.0.0.1";
  settings.RemotePath = remotePath;
  settings.User = server.User();
  settings.Password = server.Password();
  settings.Passive = passive;
  settings.Port = server.Port();
  return settings;
}

}  // namespace veldra::test
