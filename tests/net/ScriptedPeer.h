// A tiny scripted TCP peer for the transport tests: a thread with a listening socket on
// 127.0.0.1 that accepts one connection and plays a script (send bytes, pause, read a line,
// close, or stay silent). Every wait is bounded; the destructor stops and joins the thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TScriptedPeer {
 public:
  TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;
  ~TScriptedPeer();

  // Script steps, played in order after the accept.
  TScriptedPeer& Send(const std::string& bytes);
  TScriptedPeer& Pause(int ms);
  // Reads one line (up to LF, CR LF stripped) into Received(); waits at most 10 s.
  TScriptedPeer& ReadLine();
  // Stays connected and silent until the peer object is destroyed (at most 60 s).
  TScriptedPeer& Hold();
  // Closes the connection (also done after the last step).
  TScriptedPeer& Close();

  // Starts listening and the script thread. Returns the port.
  int Start();
  int Port() const { return port_; }

  // Waits (at most 10 s) until the script has finished; true when it did.
  bool WaitDone();
  // The lines read by ReadLine steps, and every byte received.
  std::vector<std::string> Received();
  std::string RawReceived();

 private:
  struct Step {
    enum Kind { kSend, kPause, kReadLine, kHold, kClose } kind;
    std::string bytes;
    int ms = 0;
  };
  void Run();
  bool WaitReadable(int fd, int ms);

  std::vector<Step> steps_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::vector<std::string> received_;
  std::string raw_;
  std::thread thread_;
};

// Binds and holds a port on 127.0.0.1 (no listen) so that a bind to it fails; -1 on failure.
class TPortHolder {
 public:
  explicit TPortHolder(int port);
  TPortHolder(const TPortHolder&) = delete;
  TPortHolder& operator=(const TPortHolder&) = delete;
  ~TPortHolder();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A port on 127.0.0.1 that nothing listens on right now (bound once, then released).
int UnusedPort();
