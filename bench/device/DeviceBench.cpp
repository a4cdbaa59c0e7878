// Sequential ReadAt and WriteAt of one large file through the FTP device against vsftpd on
// 127.0.0.1, beside curl fetching and storing the same file from the same server in the same
// run. Prints MB/s (1 MB = 1e6 bytes) for each and the device/curl ratios.
//
// Usage: device_bench [size in MiB, default 1024] [rounds, default 2 (the best is kept)] [tls]
// With "tls" both use explicit TLS on control and data (curl --ssl-reqd), both checking the
// server's self-signed certificate as their only authority, and medians are printed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/SessionPool.h"
#include "device/uftpdevice.h"
#include "device/ureftp.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"

namespace {

using namespace veldra::test;
using Clock = std::chrono::steady_clock;

constexpr DWORD kBlock = 128 * 1024;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double MBps(std::uint64_t bytes, double seconds) {
  return bytes / seconds / 1e6;
}

// curl's TLS options for the server: none without TLS.
std::vector<std::string> CurlTls(const TestFtpServer& server) {
  if (server.Options().tls == TTlsMode::None) return {};
  return {"--ssl-reqd", "--cacert", server.Options().tlsCertificate};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The best (lowest) time, or with median the middle one.
double Pick(std::vector<double> seconds, bool median) {
  std::sort(seconds.begin(), seconds.end());
  return median ? seconds[seconds.size() / 2] : seconds.front();
}

double CurlGet(const TestFtpServer& server, const std::string& name) {
  auto t = Clock::now();
  int rc = RunProgram(
      Concat({"curl", "-s", "-S", "-o", "/dev/null", server.Url() + name}, CurlTls(server)), "", "",
      600);
  double s = Seconds(t);
  if (rc != 0) std::fprintf(stderr, "curl download failed (%d)\n", rc);
  return s;
}

double CurlPut(const TestFtpServer& server, const std::string& local, const std::string& name) {
  auto t = Clock::now();
  int rc = RunProgram(
      Concat({"curl", "-s", "-S", "-T", local, server.Url() + name}, CurlTls(server)), "", "", 600);
  double s = Seconds(t);
  if (rc != 0) std::fprintf(stderr, "curl upload failed (%d)\n", rc);
  return s;
}

double DeviceRead(TFTPDevice& dev, const std::string& path, std::uint64_t size) {
  std::vector<char> buffer(kBlock);
  auto t = Clock::now();
  for (std::uint64_t at = 0; at < size; at += kBlock) {
    DWORD n = 0;
    dev.ReadAt(path, buffer.data(), static_cast<LONGLONG>(at), kBlock, &n);
    if (n == 0) {
      std::fprintf(stderr, "device read stopped at %llu\n", (unsigned long long)at);
      break;
    }
  }
  return Seconds(t);
}

double DeviceWrite(TFTPDevice& dev, const std::string& path, std::uint64_t size) {
  std::string block = PatternBytes(kBlock, 21);
  auto t = Clock::now();
  dev.CreateEmptyFile(path);
  for (std::uint64_t at = 0; at < size; at += kBlock) {
    DWORD written = 0;
    dev.WriteAt(path, block.data(), static_cast<LONGLONG>(at), kBlock, &written);
  }
  dev.FinishUpload(path);
  return Seconds(t);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
  const bool tls = argc > 3 && std::string(argv[3]) == "tls";
  const std::uint64_t size = mib * 1024 * 1024;
  try {
    TempDir root("veldra-device-bench");
    {
      // The source file, written once in 128 KiB blocks of one pattern (the same bytes the
      // device writes), and left in the page cache for both readers.
      std::string block = PatternBytes(kBlock, 21);
      std::FILE* f = std::fopen((root / "big.bin").c_str(), "wb");
      if (!f) throw std::runtime_error("cannot create the source file");
      for (std::uint64_t at = 0; at < size; at += kBlock) std::fwrite(block.data(), 1, kBlock, f);
      std::fclose(f);
    }
    ServerOptions options;
    if (tls) options.tls = TTlsMode::Explicit;
    auto server = StartVsftpd(root.Path(), options);
    server->OwnTree();
    TDeviceSettings settings;
    settings.Host = "127.0.0.1";
    settings.User = server->User();
    settings.Password = server->Password();
    settings.Port = server->Port();
    settings.Tls = options.tls;
    // The server's own certificate is the one authority, for the device as for curl.
    if (tls) ::setenv("SSL_CERT_FILE", server->Options().tlsCertificate.c_str(), 1);
    TFTPDevice dev(settings);

    std::vector<double> gets, reads, puts, writes;
    for (int r = 0; r < rounds; ++r) {
      gets.push_back(CurlGet(*server, "big.bin"));
      reads.push_back(DeviceRead(dev, "\\big.bin", size));
      puts.push_back(CurlPut(*server, root / "big.bin", "curl-up.bin"));
      RemoveTree(root / "curl-up.bin");
      writes.push_back(DeviceWrite(dev, "\\dev-up.bin", size));
      if (FileSize(root / "dev-up.bin") != size) std::fprintf(stderr, "device upload short\n");
      dev.RemoveFile("\\dev-up.bin");  // through the device, so its cache stays true
    }
    const double curlGet = Pick(gets, tls), devRead = Pick(reads, tls);
    const double curlPut = Pick(puts, tls), devWrite = Pick(writes, tls);
    std::printf("device bench: %llu MiB in %u KiB blocks, vsftpd on 127.0.0.1%s, %s of %d\n",
                (unsigned long long)mib, kBlock / 1024,
                tls ? (" over " + dev.Pool().Acquire()->TlsDescription()).c_str() : "",
                tls ? "median" : "best", rounds);
    std::printf("  read : curl %8.1f MB/s   device %8.1f MB/s   ratio %.2f\n", MBps(size, curlGet),
                MBps(size, devRead), curlGet / devRead);
    std::printf("  write: curl %8.1f MB/s   device %8.1f MB/s   ratio %.2f\n", MBps(size, curlPut),
                MBps(size, devWrite), curlPut / devWrite);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "device bench failed: %s\n", e.what());
    return 1;
  }
}
