// A server of our own with a small in-memory file system, for replies no real server gives on
// demand: it follows the protocol for every command a drive sends, and a hook may take over
// any command (to refuse it, trickle, stall, send without end, ...).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/ScriptedFtpServer.h"

namespace veldra::test {

class FakeFtp {
 public:
  // Returns true when it answered the command itself.
  using Hook = std::function<bool(ScriptedSession&, const std::string& command)>;

  // Starts listening on 127.0.0.1 at once. User "user", password "secret".
  FakeFtp() : server_(std::make_unique<ScriptedFtpServer>([this](auto& s) { Serve(s); })) {}

  int Port() const { return server_->Port(); }
  ScriptedFtpServer& Server() { return *server_; }
  std::vector<std::string> Commands() const { return server_->Commands(); }
  int RoundTrips() const { return server_->RoundTrips(); }

  // Files by absolute path ("/d/f"); directories are the paths' parents.
  void Put(const std::string& path, const std::string& content);
  std::string Get(const std::string& path);
  bool Has(const std::string& path);
  // FEAT offers MLST (MLSD); default false.
  void OfferMlsd(bool on) { Set(mlsd_, on); }
  // The reply after an upload's data; a reply that is not 2xx discards the data (as a server
  // over its quota does). Default "226 Transfer complete.".
  void SetCompletionReply(const std::string& reply) { Set(completionReply_, reply); }
  void SetHook(Hook hook) { Set(hook_, std::move(hook)); }

 private:
  template <class T>
  void Set(T& field, T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    field = std::move(value);
  }
  void Serve(ScriptedSession& s);
  std::string Listing(const std::string& dir, bool facts);

  std::mutex mutex_;
  std::map<std::string, std::string> files_;
  bool mlsd_ = false;
  std::string completionReply_ = "226 Transfer complete.";
  Hook hook_;
  std::unique_ptr<ScriptedFtpServer> server_;  // last: its threads stop before the rest goes
};

// Number of commands starting with prefix.
int CountPrefix(const std::vector<std::string>& commands, const std::string& prefix);
// How often `what` occurs in text (a server log, a debug log).
size_t CountOf(const std::string& text, const std::string& what);

}  // namespace veldra::test
