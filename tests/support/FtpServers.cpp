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
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/Socket.h"

#ifndef VELDRA_TEST_SUPPORT_DIR
#define VELDRA_TEST_SUPPORT_DIR "tests/support"
#endif

namespace veldra::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReadySeconds = 10;
constexpr int kPassivePorts = 32;

std::string FtpdDir() {
  const char* env = std::getenv("VELDRA_FTPD_DIR");
  return std::string(env && *env ? env : "/opt/veldra-ftpd") + "/root/usr/";
}

std::string Tail(const std::string& text, std::size_t max = 2000) {
  return text.size() <= max ? text : "..." + text.substr(text.size() - max);
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
    for (int p = base; p < base + count && ok; ++p) {
      platform::UniqueSocket s(platform::CreateSocket(platform::kSocketStream, 0));
      ok = s.Valid() && platform::BindSocket(s.Get(), 0x7F000001, static_cast<uint16_t>(p)) == 0;
    }
    if (ok) return base;
  }
  throw ServerStartError("no block of " + std::to_string(count) + " free ports on 127.0.0.1");
}

std::string ReadIfExists(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The system account the non-python servers run sessions as; created when missing, its
// system password set to `password` when `systemPassword` (vsftpd logs in through PAM).
void EnsureAccount(const std::string& user, const std::string& password, bool systemPassword,
                   uid_t& uid, gid_t& gid) {
  if (user.empty() || user.find_first_of(":\n/ ") != std::string::npos)
    throw ServerStartError("unusable test account name '" + user + "'");
  // Serialises account changes between concurrently running test processes (the accounts are
  // the machine's); the lock goes with the descriptor.
  struct Lock {
    int fd = ::open("/tmp/veldra-test-accounts.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ~Lock() { ::close(fd); }
  } lock;
  if (lock.fd >= 0) ::flock(lock.fd, LOCK_EX);
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

// Config and password files are the servers' own: some refuse one that others may write.
void WriteConf(const std::string& path, const std::string& text, mode_t mode = 0600) {
  WriteFile(path, text);
  ::chmod(path.c_str(), mode);
}

}  // namespace

const char* KindName(ServerKind kind) {
  static const char* const names[] = {"pyftpdlib", "vsftpd", "pure-ftpd", "proftpd"};
  return names[static_cast<int>(kind)];
}

TestFtpServer::TestFtpServer(ServerKind kind, const std::string& root, const ServerOptions& options)
    : kind_(kind), root_(fs::absolute(root).lexically_normal().string()), options_(options) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  const std::string name = Name();
  if (!fs::is_directory(root_))
    throw ServerStartError(name + ": root " + root_ + " is not a directory");
  if (kind_ != ServerKind::Pyftpdlib && (options_.faults || options_.anonymous))
    throw ServerStartError(name + ": faults and anonymous access are offered by pyftpdlib only");
  if (options_.tls == TTlsMode::Implicit &&
      (kind_ == ServerKind::Pyftpdlib || kind_ == ServerKind::PureFtpd))
    throw ServerStartError(name + ": implicit TLS is not offered");
  conf_ = std::make_unique<TempDir>("veldra-" + name);
  if (options_.tls != TTlsMode::None && options_.tlsCertificate.empty()) {
    options_.tlsCertificate = *conf_ / "cert.pem";
    options_.tlsKey = *conf_ / "key.pem";
    if (RunCommand({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                    options_.tlsKey, "-out", options_.tlsCertificate})
            .status != 0)
      throw ServerStartError(name + ": openssl req failed (package openssl)");
  }
  if (kind_ != ServerKind::Pyftpdlib) {
    EnsureAccount(options_.user, options_.password, kind_ == ServerKind::Vsftpd, uid_, gid_);
    OwnTree();
  }
  Start(false);
}

// A port taken between the check and the server's bind shows as an early exit: retried on new
// ports. On a restart the old listening port may linger briefly: retried on the same ones.
void TestFtpServer::Start(bool samePorts) {
  Stop();
  std::string why;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (!samePorts) port_ = FindFreePortBlock(1 + kPassivePorts);
    if (samePorts && attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    process_ = std::make_unique<Process>(Configure(), "", *conf_ / "server.log");
    if (WaitReady(why)) return;
    Stop();
    if (!samePorts && why.find("timed out") != std::string::npos) break;
  }
  throw ServerStartError(std::string(Name()) + " did not start on 127.0.0.1:" +
                         std::to_string(port_) + ": " + why + "\n--- log ---\n" + Tail(LogText()));
}

std::string TestFtpServer::Url() const {
  return std::string(options_.tls == TTlsMode::Implicit ? "ftps://" : "ftp://") + options_.user +
         ":" + options_.password + "@127.0.0.1:" + std::to_string(port_) + "/";
}

void TestFtpServer::OwnTree() {
  if (kind_ == ServerKind::Pyftpdlib) return;
  ::chmod(root_.c_str(), 0777);
  ::lchown(root_.c_str(), uid_, gid_);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    ::lchown(it->path().c_str(), uid_, gid_);
}

std::string TestFtpServer::LogText() const {
  std::string text = ReadIfExists(*conf_ / "server.log");
  std::string own = ReadIfExists(*conf_ / "own.log");
  return own.empty() ? text : text + "\n--- own log ---\n" + own;
}

// Writes the server's config files; returns its command line.
std::vector<std::string> TestFtpServer::Configure() {
  const std::string c = conf_->Path(), pasvMin = std::to_string(port_ + 1),
                    pasvMax = std::to_string(port_ + kPassivePorts);
  const int idle = options_.idleTimeoutSeconds, data = options_.dataTimeoutSeconds;
  const bool tls = options_.tls != TTlsMode::None, implicit = options_.tls == TTlsMode::Implicit;
  const std::string account = options_.user + ":" + CryptSha512(options_.password) + ":" +
                              std::to_string(uid_) + ":" + std::to_string(gid_) + "::" + root_;
  std::string bin = kind_ == ServerKind::Vsftpd ? "/usr/sbin/vsftpd" : FtpdDir() + "sbin/" + Name();
  if (kind_ != ServerKind::Pyftpdlib && !Exists(bin))
    throw ServerStartError(std::string(Name()) + ": " + bin +
                           " missing; run scripts/ftp-servers.sh");
  std::ostringstream o;
  switch (kind_) {
    case ServerKind::Pyftpdlib:
      o << "root=" << root_ << "\nport=" << port_ << "\npasv_min=" << pasvMin
        << "\npasv_max=" << pasvMax << "\nuser=" << options_.user
        << "\npassword=" << options_.password << "\nanonymous=" << (options_.anonymous ? "1" : "")
        << "\nidle_timeout=" << idle << "\ndata_timeout=" << data
        << "\nfaults=" << (options_.faults ? "1" : "")
        << "\nfault_after=" << options_.faultAfterBytes
        << "\nstall_seconds=" << options_.stallSeconds << "\ntls_cert=" << options_.tlsCertificate
        << "\ntls_key=" << options_.tlsKey << "\n";
      WriteConf(c + "/pyftpd.conf", o.str());
      return {"/usr/bin/python3", VELDRA_TEST_SUPPORT_DIR "/pyftpd_server.py", c + "/pyftpd.conf"};
    case ServerKind::Vsftpd:
      fs::create_directories(c + "/empty");
      ::chmod((c + "/empty").c_str(), 0755);
      o << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_
        << "\nbackground=NO\nrun_as_launching_user=NO\nseccomp_sandbox=NO\npasv_enable=YES\n"
        << "pasv_min_port=" << pasvMin << "\npasv_max_port=" << pasvMax
        << "\npasv_address=127.0.0.1\nport_enable=YES\nconnect_from_port_20=NO\n"
        << "local_enable=YES\nlocal_root=" << root_ << "\nchroot_local_user=YES\n"
        << "allow_writeable_chroot=YES\nwrite_enable=YES\nlocal_umask=022\nfile_open_mode=0666\n"
        << "anonymous_enable=NO\nsecure_chroot_dir=" << c << "/empty\npam_service_name=vsftpd\n"
        << "userlist_enable=NO\ntcp_wrappers=NO\nforce_dot_files=NO\nasync_abor_enable=YES\n"
        << "max_clients=0\nmax_per_ip=" << options_.maxPerIp << "\nxferlog_enable=YES\n"
        << "vsftpd_log_file=" << c << "/own.log\nlog_ftp_protocol=YES\ndual_log_enable=NO\n"
        << "syslog_enable=NO\nftpd_banner=veldra test server ready\n";
      // Strict ends: a transfer that ends without close_notify fails.
      if (tls)
        o << "ssl_enable=YES\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
          << "strict_ssl_read_eof=YES\nstrict_ssl_write_shutdown=YES\nrsa_cert_file="
          << options_.tlsCertificate << "\nrsa_private_key_file=" << options_.tlsKey
          << "\nimplicit_ssl=" << (implicit ? "YES" : "NO") << "\n";
      if (idle > 0) o << "idle_session_timeout=" << idle << "\n";
      if (data > 0) o << "data_connection_timeout=" << data << "\n";
      WriteConf(c + "/vsftpd.conf", o.str());
      return {bin, c + "/vsftpd.conf"};
    case ServerKind::PureFtpd: {
      // A private passwd file with a SHA-512 crypt hash: pure-pw's own default (argon2 with a
      // high cost) makes every login take seconds.
      const std::string pw = FtpdDir() + "bin/pure-pw";
      fs::remove(c + "/pureftpd.pdb");
      WriteConf(c + "/pureftpd.passwd", account + "/./::::::::::::\n");
      const CommandResult rc =
          RunCommand({pw, "mkdb", c + "/pureftpd.pdb", "-f", c + "/pureftpd.passwd"});
      if (rc.status != 0)
        throw ServerStartError("pure-ftpd: pure-pw mkdb failed (" + std::to_string(rc.status) +
                               ") at " + pw + "; run scripts/ftp-servers.sh: " + rc.Text());
      std::vector<std::string> argv = {bin, "-S", "127.0.0.1," + std::to_string(port_), "-d"};
      argv.insert(argv.end(),
                  {"-p", pasvMin + ":" + pasvMax, "-l", "puredb:" + c + "/pureftpd.pdb"});
      argv.insert(argv.end(), {"-E", "-A", "-H", "-u", "1", "-c", "100", "-C", "100"});
      if (tls)
        argv.insert(argv.end(), {"-Y", "3", "-2", options_.tlsCertificate + "," + options_.tlsKey});
      return argv;
    }
    case ServerKind::Proftpd:
      WriteConf(c + "/passwd", account + ":/bin/sh\n");
      WriteConf(c + "/group",
                GroupName(gid_) + ":x:" + std::to_string(gid_) + ":" + options_.user + "\n");
      o << "ServerType standalone\nServerName \"veldra test server ready\"\nDefaultServer on\n"
        << "Port " << port_ << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
        << "PassivePorts " << pasvMin << " " << pasvMax << "\nUser " << options_.user << "\nGroup "
        << GroupName(gid_) << "\nUmask 022\nMaxInstances 100\n"
        << "PidFile " << c << "/proftpd.pid\nScoreboardFile " << c << "/proftpd.scoreboard\n"
        << "DelayTable none\nWtmpLog off\nUseReverseDNS off\nUseLastlog off\n"
        << "AuthOrder mod_auth_file.c\nAuthUserFile " << c << "/passwd\nAuthGroupFile " << c
        << "/group\nRequireValidShell off\nAuthPAM off\nDefaultRoot ~\n"
        << "SystemLog " << c << "/own.log\nTransferLog none\n"
        << "AllowOverwrite on\nAllowStoreRestart on\nAllowRetrieveRestart on\n"
        << "MaxClientsPerHost none\nMaxLoginAttempts 100\n";
      if (idle > 0) o << "TimeoutIdle " << idle << "\nTimeoutNoTransfer " << idle << "\n";
      if (data > 0) o << "TimeoutStalled " << data << "\n";
      if (tls)
        o << "ModulePath " << FtpdDir() << "lib/proftpd\nLoadModule mod_tls.c\n"
          << "TLSEngine on\nTLSRequired on\nTLSProtocol TLSv1.2 TLSv1.3\nTLSVerifyClient off\n"
          << "TLSRSACertificateFile " << options_.tlsCertificate << "\nTLSRSACertificateKeyFile "
          << options_.tlsKey << "\nTLSLog " << c << "/own.log\n"
          << (implicit ? "TLSOptions UseImplicitSSL\n" : "");
      WriteConf(c + "/proftpd.conf", o.str(), 0644);
      return {bin, "-n", "-q", "-c", c + "/proftpd.conf"};
  }
  return {};
}

bool TestFtpServer::WaitReady(std::string& why) {
  const auto deadline = Clock::now() + std::chrono::seconds(kReadySeconds);
  while (Clock::now() < deadline) {
    if (process_->WaitForExit(0)) {
      why = "exited with status " + std::to_string(process_->Result().status);
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

TDeviceSettings DeviceSettingsFor(const TestFtpServer& server, bool passive) {
  TDeviceSettings settings;
  settings.Host = "127.0.0.1";
  settings.User = server.User();
  settings.Password = server.Password();
  settings.Passive = passive;
  settings.Port = server.Port();
  return settings;
}

}  // namespace veldra::test
