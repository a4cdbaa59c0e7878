#include "tests/support/ScriptedFtpServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "platform/Socket.h"

namespace vp = veldra::platform;

namespace veldra::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kLoopback = 0x7F000001;

// A connect of ConnectActive gives up at this time of its own thread (the interrupt check).
thread_local Clock::time_point tGiveUpAt = Clock::time_point::max();

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

bool SendAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const long k = fd < 0 ? -1 : vp::SendSocket(fd, bytes.data() + done, bytes.size() - done);
    if (k <= 0) return false;
    done += static_cast<std::size_t>(k);
  }
  return fd >= 0;
}

int MsLeft(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}

void CloseFd(int& fd) {
  if (fd >= 0) vp::CloseSocket(fd);
  fd = -1;
}

}  // namespace

void ScriptedSession::Abort() {
  aborted_ = true;
  std::lock_guard<std::mutex> lock(fdMutex_);
  for (int fd : {control_, listener_, data_})
    if (fd >= 0) vp::ShutdownSocketBoth(fd);
}

bool ScriptedSession::SendRaw(const std::string& bytes) {
  return SendAll(control_, bytes);
}

// Waits in short slices, so that Abort() is noticed soon on every system (a shutdown does not
// end a select under Winsock). True when fd became readable.
bool ScriptedSession::WaitReadable(int fd, int waitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (aborted_ || fd < 0) return false;
    const int ready = vp::WaitSocketReadable(fd, std::min(50, MsLeft(deadline)));
    if (ready != 0) return ready == 1;
    if (MsLeft(deadline) == 0) return false;
  }
}

std::string ScriptedSession::ReadCommand(int waitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  const bool waited = buffer_.find('\n') == std::string::npos;
  std::size_t nl;
  while ((nl = buffer_.find('\n')) == std::string::npos) {
    char buf[4096];
    if (!WaitReadable(control_, MsLeft(deadline))) return "";
    const long n = vp::RecvSocketNoWait(control_, buf, sizeof buf);
    if (n <= 0) return "";
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
  std::string line = buffer_.substr(0, nl);
  buffer_.erase(0, nl + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::lock_guard<std::mutex> lock(server_.mutex_);
  server_.commands_.push_back(line);
  server_.roundTrips_ += waited ? 1 : 0;
  return line;
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
  if (!WaitReadable(listener_, waitMs)) return false;
  const int fd = vp::AcceptSocket(listener_);
  std::lock_guard<std::mutex> lock(fdMutex_);
  if (fd < 0 || aborted_) {
    if (fd >= 0) vp::CloseSocket(fd);
    return false;
  }
  CloseFd(data_);
  data_ = fd;
  return true;
}

bool ScriptedSession::ConnectActive(const std::string& host, int port, int waitMs) {
  std::uint32_t address = 0;
  vp::UniqueSocket s(vp::CreateSocket(vp::kSocketStream, 0));
  if (vp::LookupHostIPv4(host, address) != 0 || !s.Valid()) return false;
  tGiveUpAt = Clock::now() + std::chrono::milliseconds(waitMs);
  const vp::TInterruptCheck previous =
      vp::SetInterruptCheck([] { return Clock::now() >= tGiveUpAt; });
  const int rc = vp::ConnectSocket(s.Get(), address, static_cast<std::uint16_t>(port), &aborted_);
  vp::SetInterruptCheck(previous);
  tGiveUpAt = Clock::time_point::max();
  if (rc != 0) return false;
  std::lock_guard<std::mutex> lock(fdMutex_);
  CloseFd(data_);
  data_ = s.Release();
  return true;
}

bool ScriptedSession::ParsePort(const std::string& command, std::string& host, int& port) {
  const std::string arg = command.compare(0, 5, "PORT ") == 0 ? command.substr(5) : command;
  int h[6];
  char tail;
  if (std::sscanf(arg.c_str(), "%d,%d,%d,%d,%d,%d%c", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5],
                  &tail) != 6 ||
      std::any_of(h, h + 6, [](int v) { return v < 0 || v > 255; }))
    return false;
  host = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." + std::to_string(h[2]) + "." +
         std::to_string(h[3]);
  port = h[4] * 256 + h[5];
  return true;
}

bool ScriptedSession::SendData(const std::string& bytes) {
  return SendAll(data_, bytes);
}

std::string ScriptedSession::ReceiveData(int waitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  std::string out;
  char buf[65536];
  long n;
  while (WaitReadable(data_, MsLeft(deadline)) &&
         (n = vp::RecvSocketNoWait(data_, buf, sizeof buf)) > 0)
    out.append(buf, static_cast<std::size_t>(n));
  return out;
}

void ScriptedSession::CloseSockets(bool reset, bool control) {
  std::lock_guard<std::mutex> lock(fdMutex_);
  if (reset && data_ >= 0) vp::SetSocketResetOnClose(data_);
  CloseFd(data_);
  CloseFd(listener_);
  if (control) CloseFd(control_);
}

bool ScriptedSession::ClientClosed() {
  // A reset counts too: Winsock resets when the client closes with replies left unread.
  char c;
  if (aborted_) return true;  // the server is ending the session: nothing more will come
  if (!buffer_.empty()) return false;
  const long n = control_ < 0 ? 0 : vp::PeekSocket(control_, &c, 1);
  return n == 0 || (n < 0 && vp::LastSocketError() != vp::kWsaEWOULDBLOCK);
}

ScriptedFtpServer::ScriptedFtpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ListenLoopback(port_);
  if (listener_ < 0)
    throw std::runtime_error("scripted server: cannot listen: socket error " +
                             std::to_string(vp::LastSocketError()));
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  stopping_ = true;
  vp::ShutdownSocketBoth(listener_);  // ends the accept loop's wait
  acceptThread_.join();
  vp::CloseSocket(listener_);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : sessions_) s->Abort();
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
}

void ScriptedFtpServer::AcceptLoop() {
  while (!stopping_) {
    if (vp::WaitSocketReadable(listener_, 50) != 1) continue;
    const int fd = vp::AcceptSocket(listener_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd < 0 || stopping_) {
      if (fd >= 0) vp::CloseSocket(fd);
      continue;
    }
    auto session = std::make_shared<ScriptedSession>(*this, fd, static_cast<int>(sessions_.size()));
    sessions_.push_back(session);
    threads_.emplace_back([this, session] {
      try {
        handler_(*session);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        mismatches_.push_back("session " + std::to_string(session->Index()) +
                              ": handler threw: " + e.what());
      }
      session->Close();
    });
  }
}

}  // namespace veldra::test
