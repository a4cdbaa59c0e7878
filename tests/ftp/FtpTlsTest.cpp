// FTPS against real servers on 127.0.0.1: reads and writes through the device over explicit
// and implicit TLS in both modes (vsftpd and proftpd also refuse data connections that do not
// resume the control connection's session), the certificate checks, and a data connection
// cut without close_notify.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>

#include "device/SessionPool.h"
#include "device/uftpdevice.h"
#include "device/ureftp.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"

namespace {

using namespace veldra::test;

// "AB:CD:..." of a PEM certificate, as `openssl x509 -fingerprint -sha256` prints it.
std::string FingerprintOf(const std::string& certificate, const TempDir& scratch) {
  const std::string out = scratch / "fingerprint.txt";
  EXPECT_EQ(0,
            RunProgram({"openssl", "x509", "-in", certificate, "-noout", "-fingerprint", "-sha256"},
                       "", out));
  const std::string text = ReadFile(out);
  const auto eq = text.find('=');
  return eq == std::string::npos ? std::string() : text.substr(eq + 1, 95);
}

// The pin in its other spelling: bare lower-case digits.
std::string WithoutColons(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

struct Transfer {
  ServerKind kind;
  TTlsMode tls;
  bool passive;
};

std::string TransferName(const ::testing::TestParamInfo<Transfer>& info) {
  std::string name = KindName(info.param.kind);
  name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
  return name + (info.param.tls == TTlsMode::Implicit ? "_implicit" : "_explicit") +
         (info.param.passive ? "_passive" : "_active");
}

class FtpTlsOnServer : public ::testing::TestWithParam<Transfer> {};

// Writes 3 MiB through the device, reads it back at two offsets and lists it, all protected.
TEST_P(FtpTlsOnServer, WritesReadsAndListsWithChecksums) {
  const Transfer& t = GetParam();
  TempDir root("veldra-tls");
  ServerOptions options;
  options.tls = t.tls;
  auto server = StartServer(t.kind, root.Path(), options);
  TDeviceSettings settings = DeviceSettingsFor(*server, t.passive);
  settings.Tls = t.tls;
  // Both spellings of the pin: colons (as printed) and bare digits.
  const std::string pin = FingerprintOf(server->Options().tlsCertificate, root);
  settings.CertificatePin = t.passive ? pin : WithoutColons(pin);
  TFTPDevice dev(settings);
  {
    auto session = dev.Pool().Acquire();
    EXPECT_EQ(0u, session->TlsDescription().rfind("TLSv1.", 0)) << session->TlsDescription();
  }

  const std::string content = PatternBytes(3 * 1024 * 1024 + 5, 17);
  const DWORD block = 128 * 1024;
  dev.CreateEmptyFile("\\up.bin");
  for (size_t at = 0; at < content.size(); at += block) {
    const DWORD n = static_cast<DWORD>(std::min<size_t>(block, content.size() - at));
    DWORD written = 0;
    dev.WriteAt("\\up.bin", content.data() + at, static_cast<LONGLONG>(at), n, &written);
    ASSERT_EQ(n, written);
  }
  dev.FinishUpload("\\up.bin");
  EXPECT_EQ(ChecksumOf(content), ChecksumOfFile(root / "up.bin"));

  // A download left running mid-file is aborted (ABOR, TLS close) by the read from 0.
  std::string got(content.size(), '\0');
  DWORD n = 0;
  dev.ReadAt("\\up.bin", &got[0], 1024 * 1024, block, &n);
  EXPECT_EQ(content.substr(1024 * 1024, block), got.substr(0, n));
  for (size_t at = 0; at < content.size(); at += block) {
    n = 0;
    dev.ReadAt("\\up.bin", &got[at], static_cast<LONGLONG>(at), block, &n);
    ASSERT_EQ(std::min<size_t>(block, content.size() - at), n) << at;
  }
  EXPECT_EQ(ChecksumOf(content), ChecksumOf(got));
  char tail[5];
  dev.ReadAt("\\up.bin", tail, static_cast<LONGLONG>(content.size() - 5), 64, &n);
  EXPECT_EQ(content.substr(content.size() - 5), std::string(tail, n));

  dev.CreateDir("\\sub");  // relists the root over a protected data connection
  BY_HANDLE_FILE_INFORMATION info;
  dev.GetFileInfo("\\up.bin", &info);
  EXPECT_EQ(content.size(), info.nFileSizeLow);

  // A reconnection makes a new TLS session, which its data connections resume in turn.
  server->Restart();
  dev.ReadAt("\\up.bin", tail, 0, 5, &n);
  EXPECT_EQ(content.substr(0, 5), std::string(tail, n));
  EXPECT_GE(dev.Pool().Logins(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpTlsOnServer,
    ::testing::Values(Transfer{ServerKind::Vsftpd, TTlsMode::Explicit, true},
                      Transfer{ServerKind::Vsftpd, TTlsMode::Explicit, false},
                      Transfer{ServerKind::Vsftpd, TTlsMode::Implicit, true},
                      Transfer{ServerKind::Proftpd, TTlsMode::Explicit, true},
                      Transfer{ServerKind::Proftpd, TTlsMode::Implicit, false},
                      Transfer{ServerKind::PureFtpd, TTlsMode::Explicit, true},
                      Transfer{ServerKind::Pyftpdlib, TTlsMode::Explicit, true},
                      Transfer{ServerKind::Pyftpdlib, TTlsMode::Explicit, false}),
    TransferName);

// Makes a certificate for `san` signed by the test authority in dir (made on first use).
void MakeSignedCertificate(const TempDir& dir, const std::string& name, const std::string& san) {
  if (!Exists(dir / "ca.pem")) {
    ASSERT_EQ(0, RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                             "30", "-subj", "/CN=Veldra test authority", "-keyout", dir / "ca.key",
                             "-out", dir / "ca.pem"}));
  }
  WriteFile(dir / (name + ".ext"), "subjectAltName=" + san + "\n");
  ASSERT_EQ(0,
            RunProgram({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                        "-keyout", dir / (name + ".key"), "-out", dir / (name + ".csr")}));
  ASSERT_EQ(
      0, RunProgram({"openssl", "x509", "-req", "-in", dir / (name + ".csr"), "-CA", dir / "ca.pem",
                     "-CAkey", dir / "ca.key", "-CAcreateserial", "-days", "30", "-extfile",
                     dir / (name + ".ext"), "-out", dir / (name + ".pem")}));
}

// Each row logs in to a vsftpd of its own over explicit TLS. The test authority stands in for
// the system's (SSL_CERT_FILE), so a certificate it signed for 127.0.0.1 passes unpinned.
TEST(FtpTlsCertificates, CheckedAgainstAuthoritiesNamesAndPins) {
  TempDir certs("veldra-tls-certs");
  MakeSignedCertificate(certs, "good", "IP:127.0.0.1");
  MakeSignedCertificate(certs, "other", "DNS:other.example");
  ::setenv("SSL_CERT_FILE", (certs / "ca.pem").c_str(), 1);
  struct Case {
    const char* certificate;  // "" self-signed by the server set-up, else signed by the authority
    const char* pin;          // "right", "wrong", "bad" or ""
    TTlsMode serverTls;
    const char* refusal;  // "" for a login, else text of the error
    bool showsFingerprint;
  } cases[] = {
      {"good", "", TTlsMode::Explicit, "", false},
      {"", "right", TTlsMode::Explicit, "", false},
      {"", "", TTlsMode::Explicit, "self-signed certificate", true},
      {"", "wrong", TTlsMode::Explicit, "fingerprint mismatch", true},
      {"other", "", TTlsMode::Explicit, "IP address mismatch", true},
      {"other", "right", TTlsMode::Explicit, "", false},  // the pin overrides the name
      {"good", "bad", TTlsMode::Explicit, "64 hexadecimal digits", false},
      // A server without TLS refuses AUTH TLS: its reply is the error, nothing goes plain.
      {"", "", TTlsMode::None, "Please login with USER and PASS.", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.certificate) + " pin:" + k.pin + " " + k.refusal);
    TempDir root("veldra-tls");
    ServerOptions options;
    options.tls = k.serverTls;
    if (*k.certificate) {
      options.tlsCertificate = certs / (std::string(k.certificate) + ".pem");
      options.tlsKey = certs / (std::string(k.certificate) + ".key");
    }
    auto server = StartVsftpd(root.Path(), options);
    const std::string fingerprint =
        k.serverTls == TTlsMode::None ? "" : FingerprintOf(server->Options().tlsCertificate, root);
    const std::string pin = std::string(k.pin) == "right"   ? fingerprint
                            : std::string(k.pin) == "wrong" ? std::string(64, 'a')
                            : std::string(k.pin) == "bad"   ? "12:34"
                                                            : "";
    TIdFTP ftp;
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(server->Port());
    ftp.SetUsername(server->User());
    ftp.SetPassword(server->Password());
    ftp.SetReadTimeout(10000);
    ftp.SetTlsMode(TTlsMode::Explicit);
    ftp.SetCertificatePin(pin);
    std::string established;
    ftp.OnTlsEstablished = [&](TIdFTP&, const std::string& text) { established = text; };
    std::string error;
    try {
      ftp.OpenSession(true, 10000);
    } catch (const EIdException& e) {
      error = e.Message();
    }
    if (*k.refusal == '\0') {
      EXPECT_EQ("", error);
      EXPECT_EQ(230, ftp.LoginReply().NumericCode());
      EXPECT_EQ(established, ftp.TlsDescription());
      EXPECT_EQ(0u, established.rfind("TLSv1.", 0)) << established;
    } else {
      EXPECT_NE(std::string::npos, error.find(k.refusal)) << error;
      EXPECT_FALSE(ftp.IsConnected());
      // The password never travelled: the server saw no login at all.
      EXPECT_EQ(std::string::npos, server->LogText().find("\"USER")) << server->LogText();
    }
    if (!fingerprint.empty()) {
      EXPECT_EQ(k.showsFingerprint, error.find(fingerprint) != std::string::npos) << error;
    }
    ftp.CloseConnection();
  }
  ::unsetenv("SSL_CERT_FILE");
}

// A data connection closed without a TLS close_notify is no end of file: the device takes it
// for a broken transfer and resumes once from where it was cut, so the reader gets every byte.
TEST(FtpTlsTruncation, DownloadCutWithoutCloseNotifyIsResumed) {
  TempDir root("veldra-tls");
  const std::string content = PatternBytes(2 * 1024 * 1024, 5);
  WriteFile(root / "cut-once.bin", content);
  ServerOptions options;
  options.tls = TTlsMode::Explicit;
  options.faults = true;
  options.faultAfterBytes = 512 * 1024;
  auto server = StartPyftpdlib(root.Path(), options);
  TDeviceSettings settings = DeviceSettingsFor(*server);
  settings.Tls = TTlsMode::Explicit;
  settings.CertificatePin = FingerprintOf(server->Options().tlsCertificate, root);
  TFTPDevice dev(settings);
  std::string got(content.size(), '\0');
  DWORD n = 0;
  dev.ReadAt("\\cut-once.bin", &got[0], 0, static_cast<DWORD>(got.size()), &n);
  EXPECT_EQ(content.size(), n);
  EXPECT_EQ(ChecksumOf(content), ChecksumOf(got));
  // The second transfer carried only the rest.
  EXPECT_NE(std::string::npos, server->LogText().find("bytes=1572864")) << server->LogText();
}

}  // namespace
