#include "tests/support/ScriptedFtpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace veldra::test {

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSliceMs = 50;

int ListenLoopback(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

bool SendAll(int fd, const char* p, std::size_t n) {
  if (fd < 0) return false;
  while (n > 0) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

int MsLeft(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}

}  // namespace

// ---- ScriptedSession ----

ScriptedSession::ScriptedSession(ScriptedFtpServer& server, int controlFd, int index)
    : server_(server), index_(index), control_(controlFd) {}

ScriptedSession::~ScriptedSession() {
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  CloseFd(listener_);
  CloseFd(control_);
}

void ScriptedSession::CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void ScriptedSession::Abort() {
  aborted_ = true;
  std::lock_guard<std::mutex> lock(fdMutex_);
  for (int fd : {control_, listener_, data_})
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

// 1 readable, 0 time-out, -1 aborted or error.
int ScriptedSession::WaitReadable(int fd, int waitMs) {
  if (fd < 0) return -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (aborted_) return -1;
    pollfd p{fd, POLLIN, 0};
    int slice = std::min(kSliceMs, MsLeft(deadline));
    int r = ::poll(&p, 1, slice);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
    if (MsLeft(deadline) == 0) return 0;
  }
}

bool ScriptedSession::Send(const std::string& line) {
  return SendRaw(line + "\r\n");
}

bool ScriptedSession::SendRaw(const std::string& bytes) {
  return SendAll(control_, bytes.data(), bytes.size());
}

std::string ScriptedSession::ReadCommand(int waitMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      server_.Record(line);
      return line;
    }
    if (WaitReadable(control_, MsLeft(deadline)) != 1) return "";
    char buf[4096];
    ssize_t n = ::recv(control_, buf, sizeof buf, 0);
    if (n <= 0) return "";
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

bool ScriptedSession::Expect(const std::string& expected, int waitMs) {
  last_ = ReadCommand(waitMs);
  bool ok;
  if (!expected.empty() && expected.back() == '*')
    ok = last_.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0 &&
         last_.size() >= expected.size() - 1;
  else
    ok = last_ == expected;
  if (!ok)
    server_.RecordMismatch("session " + std::to_string(index_) + ": expected '" + expected +
                           "', got '" + last_ + "'");
  return ok;
}

bool ScriptedSession::Greet() {
  return Send("220 scripted server ready");
}

bool ScriptedSession::AcceptLogin() {
  if (!Expect("USER *")) return false;
  Send("331 Password required");
  if (!Expect("PASS *")) return false;
  return Send("230 Logged in");
}

std::string ScriptedSession::OpenPassive() {
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(listener_);
  int port = 0;
  listener_ = ListenLoopback(port);
  if (listener_ < 0) throw std::runtime_error("scripted server: cannot open a passive listener");
  char text[96];
  std::snprintf(text, sizeof text, "227 Entering Passive Mode (127,0,0,1,%d,%d).", port / 256,
                port % 256);
  return text;
}

bool ScriptedSession::AcceptData(int waitMs) {
  if (WaitReadable(listener_, waitMs) != 1) return false;
  int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  data_ = fd;
  if (aborted_) ::shutdown(fd, SHUT_RDWR);
  return true;
}

bool ScriptedSession::ConnectActive(const std::string& host, int port, int waitMs) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (r != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (::poll(&p, 1, waitMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
        err == 0)
      r = 0;
  }
  if (r != 0) {
    ::close(fd);
    return false;
  }
  // Back to blocking: SendData relies on it.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  data_ = fd;
  return true;
}

bool ScriptedSession::ParsePort(const std::string& command, std::string& host, int& port) {
  std::string arg = command;
  if (arg.compare(0, 5, "PORT ") == 0) arg = arg.substr(5);
  int h[6];
  char tail;
  if (std::sscanf(arg.c_str(), "%d,%d,%d,%d,%d,%d%c", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5],
                  &tail) != 6)
    return false;
  for (int v : h)
    if (v < 0 || v > 255) return false;
  host = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." + std::to_string(h[2]) + "." +
         std::to_string(h[3]);
  port = h[4] * 256 + h[5];
  return true;
}

bool ScriptedSession::SendData(const std::string& bytes) {
  return SendAll(data_, bytes.data(), bytes.size());
}

std::string ScriptedSession::ReceiveData(int waitMs) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (WaitReadable(data_, MsLeft(deadline)) != 1) return out;
    char buf[65536];
    ssize_t n = ::recv(data_, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

void ScriptedSession::CloseData() {
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  CloseFd(listener_);
}

void ScriptedSession::ResetData() {
  std::lock_guard<std::mutex> lock(fdMutex_);
  if (data_ >= 0) {
    linger l{1, 0};
    ::setsockopt(data_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  CloseFd(data_);
  CloseFd(listener_);
}

void ScriptedSession::Close() {
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  CloseFd(listener_);
  CloseFd(control_);
}

bool ScriptedSession::ClientClosed() {
  if (!buffer_.empty()) return false;
  pollfd p{control_, POLLIN, 0};
  if (control_ < 0) return true;
  if (::poll(&p, 1, 0) != 1) return false;
  char c;
  ssize_t n = ::recv(control_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0;
}

// ---- ScriptedFtpServer ----

ScriptedFtpServer::ScriptedFtpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ListenLoopback(port_);
  if (listener_ < 0)
    throw std::runtime_error(std::string("scripted server: cannot listen: ") +
                             std::strerror(errno));
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  Stop();
}

void ScriptedFtpServer::Stop() {
  if (stopping_.exchange(true)) return;
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listener_);
  listener_ = -1;
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : sessions_) s->Abort();
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.clear();
}

void ScriptedFtpServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) != 1) continue;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      break;
    }
    auto session = std::make_shared<ScriptedSession>(*this, fd, static_cast<int>(sessions_.size()));
    sessions_.push_back(session);
    threads_.emplace_back([this, session] {
      try {
        handler_(*session);
      } catch (const std::exception& e) {
        RecordMismatch("session " + std::to_string(session->Index()) +
                       ": handler threw: " + e.what());
      } catch (...) {
        RecordMismatch("session " + std::to_string(session->Index()) + ": handler threw");
      }
      session->Close();
      std::lock_guard<std::mutex> l(mutex_);
      ++finished_;
      changed_.notify_all();
    });
    changed_.notify_all();
  }
}

void ScriptedFtpServer::Record(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(line);
  changed_.notify_all();
}

void ScriptedFtpServer::RecordMismatch(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  mismatches_.push_back(text);
  changed_.notify_all();
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<std::string> ScriptedFtpServer::Mismatches() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mismatches_;
}

int ScriptedFtpServer::SessionsStarted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(sessions_.size());
}

int ScriptedFtpServer::SessionsFinished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

bool ScriptedFtpServer::WaitSessionsFinished(int n, int waitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return finished_ >= n; });
}

bool ScriptedFtpServer::WaitForCommand(const std::string& prefix, int waitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
    for (auto& c : commands_)
      if (c.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  });
}

}  // namespace veldra::test
