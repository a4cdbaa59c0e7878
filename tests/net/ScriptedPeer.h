// A tiny scripted TCP peer for the transport tests: a thread with a listening socket on
// 127.0.0.1 that accepts one connection and plays a script (send bytes, pause, read a line,
// close, or stay silent). It works over the program's own socket layer, so the transport
// suites run unchanged on Linux and, cross-built, under Windows or wine. Every wait is bounded;
// the destructor stops and joins the thread.
#pragma once

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TScriptedPeer {
 public:
  TScriptedPeer() = default;
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
    char kind;  // 's'end, 'p'ause, 'r'ead line, 'h'old, 'c'lose
    std::string bytes;
    int ms;
  };
  TScriptedPeer& Add(char kind, const std::string& bytes = "", int ms = 0);
  void Run();

  std::vector<Step> steps_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::promise<void> done_;
  std::future<void> finished_ = done_.get_future();
  std::mutex mutex_;  // guards received_ and raw_
  std::vector<std::string> received_;
  std::string raw_;
  std::thread thread_;
};

// A port on 127.0.0.1 that nothing listens on right now (bound once, then released).
int UnusedPort();
