// FTPS against real servers on 127.0.0.1, a row each: the client's login and its certificate
// checks, then, when the login passes, a write, reads and a listing through the device over
// explicit or implicit TLS in both modes. vsftpd and proftpd also refuse data connections that
// do not resume the control connection's session; pyftpdlib cuts the first download of the
// file without close_notify.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "device/SessionPool.h"
#include "device/uftpdevice.h"
#include "device/ureftp.h"
#include "tests/support/FtpServers.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using namespace veldra::test;

// Runs openssl with args; what it printed.
std::string Openssl(std::vector<std::string> args) {
  args.insert(args.begin(), "openssl");
  const CommandResult r = RunCommand(args, 60, "", true);
  EXPECT_EQ(0, r.status) << r.err;
  return r.output;
}

// "AB:CD:..." of a PEM certificate, as `openssl x509 -fingerprint -sha256` prints it.
std::string FingerprintOf(const std::string& certificate) {
  const std::string text =
      Openssl({"x509", "-in", certificate, "-noout", "-fingerprint", "-sha256"});
  const auto eq = text.find('=');
  return eq == std::string::npos ? std::string() : text.substr(eq + 1, 95);
}

// Makes a certificate for `san` signed by the test authority in dir (made on first use).
void MakeSignedCertificate(const TempDir& dir, const std::string& name, const std::string& san) {
  if (!Exists(dir / "ca.pem"))
    Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
             "/CN=Veldra test authority", "-keyout", dir / "ca.key", "-out", dir / "ca.pem"});
  WriteFile(dir / (name + ".ext"), "subjectAltName=" + san + "\n");
  Openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-keyout",
           dir / (name + ".key"), "-out", dir / (name + ".csr")});
  Openssl({"x509", "-req", "-in", dir / (name + ".csr"), "-CA", dir / "ca.pem", "-CAkey",
           dir / "ca.key", "-CAcreateserial", "-days", "30", "-extfile", dir / (name + ".ext"),
           "-out", dir / (name + ".pem")});
}

// Writes 3 MiB through the device, reads it back and lists it, all protected.
void WriteReadAndList(TestFtpServer& server, const TDeviceSettings& settings, const TempDir& root) {
  TFTPDevice dev(settings);
  const std::string content = PatternBytes(3 * 1024 * 1024 + 5, 17), name = "\\cut-once.bin";
  const DWORD block = 128 * 1024;
  std::string got(content.size(), '\0');
  DWORD n = 0;
  dev.CreateEmptyFile(name);
  for (size_t at = 0; at < content.size(); at += block) {
    const DWORD size = static_cast<DWORD>(std::min<size_t>(block, content.size() - at));
    dev.WriteAt(name, content.data() + at, static_cast<LONGLONG>(at), size, &n);
    ASSERT_EQ(size, n);
  }
  dev.FinishUpload(name);
  EXPECT_TRUE(content == ReadFile(root / "cut-once.bin"));  // no megabytes in a failure
  for (size_t at = 0; at < content.size(); at += block) {
    dev.ReadAt(name, &got[at], static_cast<LONGLONG>(at), block, &n);
    ASSERT_EQ(std::min<size_t>(block, content.size() - at), n) << at;
  }
  EXPECT_TRUE(content == got);
  // A data connection closed without close_notify is no end of file: the device resumes once
  // from where it was cut, and the second transfer carries only the rest (the server logs it
  // once it has seen the transfer's end, which may come after the last byte arrived here).
  const std::string rest = "bytes=" + std::to_string(content.size() - 512 * 1024);
  if (server.Options().faults) {
    EXPECT_TRUE(WaitUntil([&] { return server.LogText().find(rest) != std::string::npos; }, 5000))
        << server.LogText();
  }
  // A download left running mid-file is aborted (ABOR, TLS close) by a read elsewhere.
  dev.ReadAt(name, &got[0], 1024 * 1024, block, &n);
  EXPECT_EQ(content.substr(1024 * 1024, block), got.substr(0, n));
  dev.ReadAt(name, &got[0], static_cast<LONGLONG>(content.size() - 5), 64, &n);
  EXPECT_EQ(content.substr(content.size() - 5), got.substr(0, n));

  dev.CreateDir("\\sub");  // relists the root over a protected data connection
  BY_HANDLE_FILE_INFORMATION info;
  dev.GetFileInfo(name, &info);
  EXPECT_EQ(content.size(), info.nFileSizeLow);
  // A reconnection makes a new TLS session, which its data connections resume in turn.
  server.Restart();
  dev.ReadAt(name, &got[0], 0, 5, &n);
  EXPECT_EQ(content.substr(0, 5), got.substr(0, n));
  EXPECT_GE(dev.Pool().Logins(), 2);
}

// The test authority stands in for the system's (SSL_CERT_FILE), so a certificate it signed
// for 127.0.0.1 passes unpinned.
TEST(FtpTls, LoginsCertificatesAndTransfers) {
  TempDir certs("veldra-tls-certs");
  MakeSignedCertificate(certs, "good", "IP:127.0.0.1");
  MakeSignedCertificate(certs, "other", "DNS:other.example");
  ::setenv("SSL_CERT_FILE", (certs / "ca.pem").c_str(), 1);
  constexpr auto E = TTlsMode::Explicit, I = TTlsMode::Implicit;
  constexpr auto V = ServerKind::Vsftpd, P = ServerKind::Proftpd, Py = ServerKind::Pyftpdlib;
  struct Row {
    ServerKind kind;
    TTlsMode tls;
    bool passive;
    const char* certificate;  // "" self-signed by the set-up, "plain" no TLS, else the authority's
    const char* pin;          // "right", "bare" (right without colons, lower case), "wrong", "bad"
    const char* refusal;      // "" for a login and the transfers, else text of the error
    bool showsFingerprint;
  } rows[] = {
      {V, E, true, "", "right", "", false},
      {V, E, false, "", "bare", "", false},
      {V, I, true, "", "right", "", false},
      {P, E, true, "", "right", "", false},
      {P, I, false, "", "bare", "", false},
      {ServerKind::PureFtpd, E, true, "", "right", "", false},
      {Py, E, true, "", "right", "", false},
      {Py, E, false, "", "bare", "", false},
      {V, E, true, "good", "", "", false},
      {V, E, true, "", "", "self-signed certificate", true},
      {V, E, true, "", "wrong", "fingerprint mismatch", true},
      {V, E, true, "other", "", "IP address mismatch", true},
      {V, E, true, "other", "right", "", false},  // the pin overrides the name
      {V, E, true, "good", "bad", "64 hexadecimal digits", false},
      // A server without TLS refuses AUTH TLS: its reply is the error, nothing goes plain.
      {V, E, true, "plain", "", "Please login with USER and PASS.", false},
  };
  for (const Row& k : rows) {
    const std::string certificate = k.certificate, pinKind = k.pin;
    SCOPED_TRACE(std::string(KindName(k.kind)) + (k.tls == I ? " implicit " : " explicit ") +
                 (k.passive ? "passive " : "active ") + certificate + " pin:" + pinKind);
    TempDir root("veldra-tls");
    ServerOptions options;
    options.tls = certificate == "plain" ? TTlsMode::None : k.tls;
    options.faults = k.kind == Py;
    options.faultAfterBytes = 512 * 1024;
    if (certificate == "good" || certificate == "other") {
      options.tlsCertificate = certs / (certificate + ".pem");
      options.tlsKey = certs / (certificate + ".key");
    }
    auto server = StartServer(k.kind, root.Path(), options);
    const std::string fingerprint =
        options.tls == TTlsMode::None ? "" : FingerprintOf(server->Options().tlsCertificate);
    std::string bare = fingerprint;
    bare.erase(std::remove(bare.begin(), bare.end(), ':'), bare.end());
    std::transform(bare.begin(), bare.end(), bare.begin(), ::tolower);
    const std::string pin = pinKind == "right"   ? fingerprint
                            : pinKind == "bare"  ? bare
                            : pinKind == "wrong" ? std::string(64, 'a')
                            : pinKind == "bad"   ? "12:34"
                                                 : "";
    TIdFTP ftp;
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(server->Port());
    ftp.SetUsername(server->User());
    ftp.SetPassword(server->Password());
    ftp.SetReadTimeout(10000);
    ftp.SetTlsMode(k.tls);
    ftp.SetCertificatePin(pin);
    std::string established, error;
    ftp.OnTlsEstablished = [&](TIdFTP&, const std::string& text) { established = text; };
    try {
      ftp.OpenSession(true, 10000);
    } catch (const EIdException& e) {
      error = e.Message();
    }
    if (!fingerprint.empty()) {
      EXPECT_EQ(k.showsFingerprint, error.find(fingerprint) != std::string::npos) << error;
    }
    if (*k.refusal != '\0') {
      EXPECT_NE(std::string::npos, error.find(k.refusal)) << error;
      EXPECT_FALSE(ftp.IsConnected());
      // The password never travelled: the server saw no login at all.
      EXPECT_EQ(std::string::npos, server->LogText().find("\"USER")) << server->LogText();
      continue;
    }
    EXPECT_EQ("", error);
    EXPECT_EQ(230, ftp.LoginReply().NumericCode());
    EXPECT_EQ(established, ftp.TlsDescription());
    EXPECT_EQ(0u, established.rfind("TLSv1.", 0)) << established;
    ftp.CloseConnection();
    TDeviceSettings settings = DeviceSettingsFor(*server, k.passive);
    settings.Tls = k.tls;
    settings.CertificatePin = pin;
    WriteReadAndList(*server, settings, root);
  }
  ::unsetenv("SSL_CERT_FILE");
}

}  // namespace
