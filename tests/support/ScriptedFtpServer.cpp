// The scripted FTP server. It works through the platform socket layer only, so the same
// scripted suites run on Linux and, cross-built, under Windows or wine.
#include "tests/support/ScriptedFtpServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "platform/Socket.h"

namespace vp = veldra::platform;

namespace veldra::test {

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSliceMs = 50;
constexpr std::uint32_t kLoopback = 0x7F000001;

int ListenLoopback(int& port) {
  vp::UniqueSocket s(vp::CreateSocket(vp::kSocketStream, 0));
  std::uint32_t address = 0;
  std::uint16_t bound = 0;
  if (!s.Valid() || vp::BindSocket(s.Get(), kLoopback, 0) != 0 ||
      vp::ListenSocket(s.Get(), 16) != 0 || vp::GetSocketName(s.Get(), address, bound) != 0)
    return -1;
  port = bound;
  return s.Release();
}

bool SendAll(int fd, const char* p, std::size_t n) {
  if (fd < 0) return false;
  while (n > 0) {
    const long k = vp::SendSocket(fd, p, n);
    if (k <= 0) return false;
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
  if (fd >= 0) vp::CloseSocket(fd);
  fd = -1;
}

void ScriptedSession::Abort() {
  aborted_ = true;
  std::lock_guard<std::mutex> lock(fdMutex_);
  for (int fd : {control_, listener_, data_})
    if (fd >= 0) vp::ShutdownSocketBoth(fd);
}

// 1 readable, 0 time-out, -1 aborted or error.
int ScriptedSession::WaitReadable(int fd, int waitMs) {
  if (fd < 0) return -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (aborted_) return -1;
    const int r = vp::WaitSocketReadable(fd, std::min(kSliceMs, MsLeft(deadline)));
    if (r > 0) return 1;
    if (r < 0) return -1;
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
  const bool waited = buffer_.find('\n') == std::string::npos;
  for (;;) {
    auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      server_.Record(line, waited);
      return line;
    }
    if (WaitReadable(control_, MsLeft(deadline)) != 1) return "";
    char buf[4096];
    const long n = vp::RecvSocket(control_, buf, sizeof buf);
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
  const int fd = vp::AcceptSocket(listener_);
  if (fd < 0) return false;
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  data_ = fd;
  if (aborted_) vp::ShutdownSocketBoth(fd);
  return true;
}

bool ScriptedSession::ConnectActive(const std::string& host, int port, int waitMs) {
  std::uint32_t address = 0;
  if (vp::LookupHostIPv4(host, address) != 0) return false;
  vp::UniqueSocket s(vp::CreateSocket(vp::kSocketStream, 0));
  if (!s.Valid()) return false;
  // A connect that cannot finish in waitMs is given up through the cancel flag.
  std::atomic<bool> cancel{false};
  std::thread timer([&] {
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (!cancel && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cancel = true;
  });
  const int rc = vp::ConnectSocket(s.Get(), address, static_cast<std::uint16_t>(port), &cancel);
  cancel = true;
  timer.join();
  if (rc != 0) return false;
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  data_ = s.Release();
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
    const long n = vp::RecvSocket(data_, buf, sizeof buf);
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
  if (data_ >= 0) vp::SetSocketResetOnClose(data_);
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
  if (control_ < 0) return true;
  if (vp::WaitSocketReadable(control_, 0) != 1) return false;
  char c;
  return vp::PeekSocket(control_, &c, 1) == 0;
}

// ---- ScriptedFtpServer ----

ScriptedFtpServer::ScriptedFtpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ListenLoopback(port_);
  if (listener_ < 0)
    throw std::runtime_error("scripted server: cannot listen: socket error " +
                             std::to_string(vp::LastSocketError()));
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  Stop();
}

void ScriptedFtpServer::Stop() {
  if (stopping_.exchange(true)) return;
  if (acceptThread_.joinable()) acceptThread_.join();
  vp::CloseSocket(listener_);
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
    if (vp::WaitSocketReadable(listener_, kSliceMs) != 1) continue;
    const int fd = vp::AcceptSocket(listener_);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      vp::CloseSocket(fd);
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

void ScriptedFtpServer::Record(const std::string& line, bool waited) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(line);
  if (waited) ++roundTrips_;
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

int ScriptedFtpServer::RoundTrips() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return roundTrips_;
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
