// Pushes a fixed amount of data (1 GiB by default) through a loopback socket and reads it
//   1. with a plain blocking recv() loop into one 32 KiB buffer,
//   2. with TIdTCPConnection::ReadToStream(-1, untilClosed) into a discarding stream,
//   3. with ReceiveChunk and direct consumption of PendingInput (ReadTimeout 5000 ms),
// each round in turn; prints the best MB/s of each and the ratio to the plain loop, by wall
// time and by the receiving thread's CPU time (the latter is steadier on a busy machine).
//
//   net_transport_bench [MiB per run (default 1024)] [rounds (default 3)]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/IdTCPClient.h"
#include "platform/Socket.h"

namespace {

using veldra::platform::UniqueSocket;

// A stream that only counts: the figures then measure the transport, not a copy into memory.
class TCountingStream : public TIdStream {
 public:
  void Write(const void*, std::size_t count) override { position_ += std::int64_t(count); }
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return position_; }
  void SetSize(std::int64_t) override {}

 private:
  std::int64_t position_ = 0;
};

// Listens on 127.0.0.1, accepts one connection and sends `total` bytes, then closes.
class TSender {
 public:
  explicit TSender(std::int64_t total) : total_(total) {
    listen_ = UniqueSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listen_.Get(), 1) != 0) {
      std::perror("listen");
      std::exit(1);
    }
    socklen_t len = sizeof sa;
    ::getsockname(listen_.Get(), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TSender() { thread_.join(); }
  int Port() const { return port_; }

 private:
  void Run() {
    UniqueSocket s(::accept(listen_.Get(), nullptr, nullptr));
    std::vector<char> block(256 * 1024, 'v');
    std::int64_t left = total_;
    while (left > 0 && s.Valid()) {
      const auto n = ::send(s.Get(), block.data(),
                            std::size_t(std::min<std::int64_t>(left, std::int64_t(block.size()))),
                            MSG_NOSIGNAL);
      if (n <= 0) break;
      left -= n;
    }
  }

  std::int64_t total_;
  UniqueSocket listen_;
  int port_ = 0;
  std::thread thread_;
};

std::int64_t PlainLoop(int port) {
  UniqueSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(std::uint16_t(port));
  if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  std::vector<char> buffer(32768);
  std::int64_t total = 0;
  for (;;) {
    const auto n = ::recv(s.Get(), buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    total += n;
  }
  return total;
}

std::unique_ptr<TIdTCPClient> Connect(int port) {
  auto c = std::make_unique<TIdTCPClient>();
  c->SetHost("127.0.0.1");
  c->SetPort(port);
  c->ConnectToHost();
  return c;
}

std::int64_t ViaReadToStream(int port) {
  auto c = Connect(port);
  TCountingStream sink;
  return c->ReadToStream(sink, -1, true);
}

std::int64_t ViaReceiveChunk(int port) {
  auto c = Connect(port);
  c->SetReadTimeout(5000);
  std::int64_t total = 0;
  TIdManagedBuffer& pending = c->PendingInput();
  for (;;) {
    try {
      c->ReceiveChunk(true, -1, true);
    } catch (const EIdConnClosedGracefully&) {
      break;
    }
    total += std::int64_t(pending.Size());
    pending.Remove(pending.Size());
  }
  return total;
}

struct TMode {
  const char* name;
  std::function<std::int64_t(int)> read;
  double best = 0;     // MB per wall second
  double bestCpu = 0;  // MB per CPU second of the receiving thread
};

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::int64_t total = mib * 1024 * 1024;
  std::vector<TMode> modes = {{"plain recv loop (32 KiB)", PlainLoop},
                              {"ReadToStream", ViaReadToStream},
                              {"ReceiveChunk+PendingInput", ViaReceiveChunk}};
  for (int round = 0; round < rounds; ++round) {
    for (TMode& mode : modes) {
      TSender sender(total);
      const auto start = std::chrono::steady_clock::now();
      const double cpuStart = ThreadCpuSeconds();
      const std::int64_t got = mode.read(sender.Port());
      const double cpu = ThreadCpuSeconds() - cpuStart;
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (got != total) {
        std::fprintf(stderr, "%s: received %lld of %lld bytes\n", mode.name, (long long)got,
                     (long long)total);
        return 1;
      }
      mode.best = std::max(mode.best, double(total) / 1e6 / seconds);
      mode.bestCpu = std::max(mode.bestCpu, double(total) / 1e6 / cpu);
    }
  }
  std::printf("loopback, %lld MiB per run, best of %d rounds\n", (long long)mib, rounds);
  for (const TMode& mode : modes) {
    std::printf("  %-28s %9.1f MB/s  ratio %.3f   %9.1f MB/cpu-s  ratio %.3f\n", mode.name,
                mode.best, mode.best / modes[0].best, mode.bestCpu,
                mode.bestCpu / modes[0].bestCpu);
  }
  return 0;
}
