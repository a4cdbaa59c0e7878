// An in-process FTP server driven by a test script, for replies no real server gives
// (odd codes, refusals at the end of a transfer, stalls, malformed lines). It works through
// the platform socket layer only, so the scripted suites run on Linux and, cross-built, under
// Windows or wine.
//
// The server listens on 127.0.0.1 on a free port. Every accepted control connection gets its
// own ScriptedSession and its own thread, which runs the test's handler; the handler talks to
// the client with Send()/ReadCommand() and moves data with the data-connection calls.
// Sessions run concurrently when the client reconnects while an earlier session still lives.
//
// Every wait is bounded (default 5 s). Destroying the server stops accepting, shuts every
// socket of every session down (which ends their waiting calls with ""/false) and joins every
// thread; a handler should return soon once its calls start failing.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veldra::test {

class ScriptedFtpServer;

// One control connection and at most one data connection at a time. Used only by its own
// handler thread; Abort() (called by the server) may come from another thread.
class ScriptedSession {
 public:
  static constexpr int kDefaultWaitMs = 5000;

  ScriptedSession(ScriptedFtpServer& server, int controlFd, int index)
      : server_(server), index_(index), control_(controlFd) {}
  ~ScriptedSession() { Close(); }

  // 0 for the first accepted session, 1 for the next, ...
  int Index() const { return index_; }
  // The server this session belongs to (its port, all commands received so far).
  ScriptedFtpServer& Server() { return server_; }

  // Sends `line` + CR LF / raw bytes on the control connection; false when it is gone.
  bool Send(const std::string& line) { return SendRaw(line + "\r\n"); }
  bool SendRaw(const std::string& bytes);
  // The next command line without CR LF; "" on close or when nothing arrives in time.
  // Every line read is recorded in the server's Commands().
  std::string ReadCommand(int waitMs = kDefaultWaitMs);
  // Sends "220 ...".
  bool Greet() { return Send("220 scripted server ready"); }

  // Passive mode: opens a listener on 127.0.0.1:0 and returns the reply text
  // "227 Entering Passive Mode (127,0,0,1,p1,p2)." (not sent: the test sends it).
  std::string OpenPassive();
  // Accepts the client's data connection on the passive listener; false on time-out.
  bool AcceptData(int waitMs = kDefaultWaitMs);
  // Active mode: connects to the address of a PORT command; false on failure or time-out.
  bool ConnectActive(const std::string& host, int port, int waitMs = kDefaultWaitMs);
  // Parses "PORT h1,h2,h3,h4,p1,p2" (or its argument alone); false when malformed.
  static bool ParsePort(const std::string& command, std::string& host, int& port);

  // Sends bytes on the data connection; false when it fails or none is open.
  bool SendData(const std::string& bytes);
  // Everything the client sends until it closes the data connection (bounded wait).
  std::string ReceiveData(int waitMs = kDefaultWaitMs);
  // Closes the data connection (and the passive listener) normally (FIN) / with a reset (RST).
  void CloseData() { CloseSockets(false, false); }
  void ResetData() { CloseSockets(true, false); }
  // Closes the control connection (and any data connection).
  void Close() { CloseSockets(false, true); }
  // True once the client has closed or reset the control connection, or the server is ending
  // the session (checked without waiting).
  bool ClientClosed();

  // Called by the server on shutdown: shuts every socket down so waiting calls end.
  void Abort();

 private:
  bool WaitReadable(int fd, int waitMs);
  void CloseSockets(bool reset, bool control);

  ScriptedFtpServer& server_;
  const int index_;
  std::mutex fdMutex_;  // guards the three descriptors against Abort() from the server thread
  int control_;
  int listener_ = -1;
  int data_ = -1;
  std::string buffer_;
  std::atomic<bool> aborted_{false};
};

class ScriptedFtpServer {
 public:
  using Handler = std::function<void(ScriptedSession&)>;

  // Starts listening at once; raises std::runtime_error when it cannot.
  explicit ScriptedFtpServer(Handler handler);
  ~ScriptedFtpServer();  // stops accepting and ends every session

  int Port() const { return port_; }
  // Every command line received, in order, across sessions (thread-safe copy).
  std::vector<std::string> Commands() const { return Locked(commands_); }
  // Commands the client sent only after the answer to its previous one: its round trips
  // (lines that came together with the one before, pipelined, do not count).
  int RoundTrips() const { return Locked(roundTrips_); }
  // Exceptions that escaped a handler ("session N: handler threw: ...").
  std::vector<std::string> Mismatches() const { return Locked(mismatches_); }
  // Sessions accepted so far.
  int SessionsStarted() const { return static_cast<int>(Locked(sessions_).size()); }

 private:
  friend class ScriptedSession;
  void AcceptLoop();
  template <class T>
  T Locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards the lists, the count and the sessions
  std::vector<std::string> commands_;
  int roundTrips_ = 0;
  std::vector<std::string> mismatches_;
  std::vector<std::shared_ptr<ScriptedSession>> sessions_;
  std::vector<std::thread> threads_;
  std::thread acceptThread_;
};

}  // namespace veldra::test
