#include "tests/support/FakeFtp.h"

#include <algorithm>
#include <set>

namespace veldra::test {

void FakeFtp::Put(const std::string& path, const std::string& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path] = content;
}

std::string FakeFtp::Get(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = files_.find(path);
  return it == files_.end() ? std::string() : it->second;
}

bool FakeFtp::Has(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.count(path) != 0;
}

std::string FakeFtp::Listing(const std::string& dir, bool facts) {
  const auto entry = [facts](bool isDir, std::size_t size, const std::string& name) {
    return facts ? std::string("type=") +
                       (isDir ? "dir;size=0" : "file;size=" + std::to_string(size)) +
                       ";modify=20200102030405; " + name + "\r\n"
                 : std::string(isDir ? "drwxr-xr-x    2" : "-rw-r--r--    1") +
                       " 1000     1000     " + std::to_string(size) + " Mar 05 14:07 " + name +
                       "\r\n";
  };
  const std::string prefix = dir.empty() || dir.back() != '/' ? dir + "/" : dir;
  std::string text;
  std::set<std::string> dirs;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [path, content] : files_) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string name = path.substr(prefix.size());
    if (name.find('/') != std::string::npos)
      dirs.insert(name.substr(0, name.find('/')));
    else
      text += entry(false, content.size(), name);
  }
  for (const std::string& name : dirs) text += entry(true, 4096, name);
  return text;
}

void FakeFtp::Serve(ScriptedSession& s) {
  // Commands whose answer never changes.
  static const std::map<std::string, std::string> kFixed = {{"USER", "331 Password required."},
                                                            {"TYPE", "200 Type set."},
                                                            {"SYST", "215 UNIX Type: L8"},
                                                            {"MKD", "257 Created."},
                                                            {"ABOR", "225 No transfer to ABOR."}};
  s.Greet();
  std::string cwd = "/", renameFrom;
  std::size_t rest = 0;
  // Two minutes without a command end the session, as a client that closed does.
  for (int idleReads = 0; idleReads < 600 && !s.ClientClosed();) {
    const std::string cmd = s.ReadCommand(200);
    idleReads = cmd.empty() ? idleReads + 1 : 0;
    if (cmd.empty()) continue;
    std::unique_lock<std::mutex> lock(mutex_);
    const Hook hook = hook_;
    const bool mlsd = mlsd_;
    const std::string completion = completionReply_;
    lock.unlock();
    if (hook && hook(s, cmd)) continue;
    const std::string verb = cmd.substr(0, cmd.find(' '));
    const std::string arg = cmd.size() > verb.size() + 1 ? cmd.substr(verb.size() + 1) : "";
    if (kFixed.count(verb)) {
      s.Send(kFixed.at(verb));
    } else if (verb == "PASS") {
      s.Send(arg == "secret" ? "230 Logged in." : "530 Login incorrect.");
    } else if (verb == "FEAT") {
      s.Send(mlsd ? "211-Features:\r\n MLST type*;size*;modify*;\r\n MDTM\r\n211 End" : "502 No.");
    } else if (verb == "CWD") {
      cwd = arg;
      s.Send("250 Okay.");
    } else if (verb == "PASV") {
      s.Send(s.OpenPassive());
    } else if (verb == "REST") {
      rest = static_cast<std::size_t>(std::stoll(arg));
      s.Send("350 Restarting.");
    } else if (verb == "DELE") {
      std::lock_guard<std::mutex> lock(mutex_);
      s.Send(files_.erase(arg) ? "250 Deleted." : "550 No such file or directory.");
    } else if (verb == "RNFR") {
      renameFrom = arg;
      s.Send(Has(arg) ? "350 Ready." : "550 No such file or directory.");
    } else if (verb == "RNTO") {
      std::lock_guard<std::mutex> lock(mutex_);
      if (files_.count(renameFrom)) files_[arg] = files_[renameFrom], files_.erase(renameFrom);
      s.Send("250 Renamed.");
    } else if (verb == "LIST" || verb == "MLSD" || verb == "RETR" || verb == "APPE") {
      s.Send(verb == "APPE" ? "150 Ok to send data." : "150 Opening data connection.");
      s.AcceptData();
      if (verb == "APPE") {
        const std::string data = s.ReceiveData(20000);
        if (completion[0] == '2') Put(arg, Get(arg) + data);
      } else {
        const bool retr = verb == "RETR", facts = verb == "MLSD";
        const std::string content = retr ? Get(arg) : Listing(facts ? arg : cwd, facts);
        s.SendData(content.substr(retr ? std::min(rest, content.size()) : 0));
        rest = retr ? 0 : rest;
      }
      s.CloseData();
      s.Send(verb == "APPE" ? completion : "226 Transfer complete.");
    } else {
      s.Send("502 Command not implemented.");
    }
  }
}

int CountPrefix(const std::vector<std::string>& commands, const std::string& prefix) {
  return static_cast<int>(std::count_if(
      commands.begin(), commands.end(),
      [&](const std::string& c) { return c.compare(0, prefix.size(), prefix) == 0; }));
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace veldra::test
