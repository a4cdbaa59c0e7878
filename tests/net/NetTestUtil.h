// Shared helpers of the transport and FTP client tests: a peer on the scripted FTP server that
// plays a byte script on its first connection, a client aimed or connected at a port, and what
// a call raised.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "net/IdTCPClient.h"
#include "tests/support/ScriptedFtpServer.h"

using veldra::test::ScriptedFtpServer;
using veldra::test::ScriptedSession;

// Steps: "~30" idles 30 ms, "..." idles until the peer is destroyed (neither reads a byte:
// a wait on a passive listener nobody connects to), "<" reads a line, "$" closes; anything
// else is sent. The connection is closed after the last step.
class TPeer {
 public:
  explicit TPeer(std::vector<std::string> steps)
      : server_([this, steps](ScriptedSession& s) {
          for (const std::string& step : steps) {
            if (step == "$") break;
            const bool idle = step == "..." || (step.size() > 1 && step[0] == '~');
            if (step == "<") s.ReadCommand(10000);
            if (idle)
              s.OpenPassive(), s.AcceptData(step == "..." ? 60000 : std::stoi(step.substr(1)));
            if (step != "<" && !idle) s.SendRaw(step);
          }
          s.Close();
          if (s.Index() == 0) closed_.set_value();
        }) {}
  int Port() const { return server_.Port(); }
  std::vector<std::string> Received() const { return server_.Commands(); }
  // Waits (at most 10 s) until the script has closed the connection.
  bool WaitClosed() {
    return done_.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  }

 private:
  std::promise<void> closed_;
  std::future<void> done_ = closed_.get_future();
  ScriptedFtpServer server_;  // last: its sessions end before the promise goes
};

// "a|b|c" as {"a", "b", "c"} ("" as none), and back.
inline std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out(1);
  for (char c : text) c == '|' ? out.emplace_back() : out.back() += c;
  return text.empty() ? std::vector<std::string>{} : out;
}
inline std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += (out.empty() ? "" : "|") + line;
  return out;
}

// The class and message of what `call` raised; "" when it returned.
inline std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const EIdException& e) {
    return std::string(e.ClassName()) + " " + e.what();
  }
  return "";
}

// Aims `c` at host:port; the ReadTimeout keeps every read of a broken test bounded.
inline TIdTCPClient& Aim(TIdTCPClient& c, int port, int readTimeout = 10000,
                         const std::string& host = "127.0.0.1") {
  c.SetHost(host);
  c.SetPort(port);
  c.SetReadTimeout(readTimeout);
  return c;
}
inline std::unique_ptr<TIdTCPClient> ConnectTo(int port, int readTimeout = 10000,
                                               int connectTimeout = -1) {
  auto client = std::make_unique<TIdTCPClient>();
  Aim(*client, port, readTimeout).ConnectToHost(connectTimeout);
  return client;
}
