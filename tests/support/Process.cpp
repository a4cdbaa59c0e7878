#include "tests/support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace veldra::test {
namespace {

using Clock = std::chrono::steady_clock;

// Closes the descriptor if it is open and marks it closed.
void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Every descendant of `root`, children first.
std::vector<pid_t> Descendants(pid_t root) {
  std::multimap<pid_t, pid_t> children;  // parent -> child
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream in(entry.path() / "stat");
    std::string line;
    std::getline(in, line);
    // "pid (name) state parent ...", where the name may hold anything, ')' too.
    const std::size_t end = line.rfind(") ");
    if (end != std::string::npos && line.size() > end + 4)
      children.emplace(std::atoi(line.c_str() + end + 4), std::atoi(line.c_str()));
  }
  std::vector<pid_t> out{root};
  for (std::size_t i = 0; i < out.size(); ++i) {
    auto range = children.equal_range(out[i]);
    for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
  }
  out.erase(out.begin());
  return out;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::string& input,
                 const std::string& logFile, bool separateErrors) {
  // Orphans of what we start come to us, not to init: they stay "started by this test".
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  ::signal(SIGPIPE, SIG_IGN);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  const bool collect = logFile.empty();
  int log = collect ? -1 : ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  if (::pipe2(in, O_CLOEXEC) == 0 &&
      (collect ? ::pipe2(out, O_CLOEXEC) == 0 && (!separateErrors || ::pipe2(err, O_CLOEXEC) == 0)
               : log >= 0))
    pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls until exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(in[0], 0);
    ::dup2(collect ? out[1] : log, 1);
    ::dup2(collect ? (separateErrors ? err[1] : out[1]) : log, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  if (pid_ > 0) ::setpgid(pid_, pid_);
  for (std::size_t done = 0; pid_ > 0 && done < input.size();) {
    const ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  for (int fd : {in[0], in[1], out[1], err[1], log})
    if (fd >= 0) ::close(fd);
  out_ = out[0];
  err_ = err[0];
  if (pid_ < 0) CloseFd(out_), CloseFd(err_);  // nothing started
}

Process::~Process() {
  Kill();
  CloseFd(out_);
  CloseFd(err_);
}

void Process::Pump(int waitMs) {
  pollfd fds[2];
  int n = 0;
  for (int fd : {out_, err_})
    if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
  if (::poll(fds, n, waitMs) <= 0) return;  // with nothing to read, it sleeps
  for (int i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    char buffer[8192];
    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
    const bool isOut = fds[i].fd == out_;
    if (got > 0)
      (isOut ? result_.output : result_.err).append(buffer, static_cast<std::size_t>(got));
    else if (got == 0 || errno != EINTR)
      CloseFd(isOut ? out_ : err_);
  }
}

bool Process::WaitForExit(int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (pid_ > 0) {
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
      result_.status = !WIFEXITED(raw)           ? 128 + WTERMSIG(raw)
                       : WEXITSTATUS(raw) == 127 ? -1
                                                 : WEXITSTATUS(raw);
      pid_ = -1;
      break;
    }
    if (Clock::now() >= deadline) return false;
    Pump(20);
  }
  // The writers are gone unless a background child kept the pipes: take what is there.
  for (int i = 0; i < 50 && (out_ >= 0 || err_ >= 0); ++i) Pump(20);
  return true;
}

void Process::Kill() {
  if (pid_ <= 0) return;
  const std::vector<pid_t> below = Descendants(pid_);
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  for (pid_t p : below) ::kill(p, SIGKILL);
  // Killed children and orphans that came to us are reaped (bounded).
  const pid_t self = pid_;
  pid_ = -1;
  WaitUntil(
      [&] {
        bool left = ::waitpid(self, nullptr, WNOHANG) == 0;
        for (pid_t p : below) left = (::waitpid(p, nullptr, WNOHANG) == 0) || left;
        return !left;
      },
      5000);
}

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutSeconds,
                         const std::string& input, bool separateErrors) {
  Process process(argv, input, "", separateErrors);
  const bool ended = process.WaitForExit(timeoutSeconds);
  process.Kill();
  CommandResult r = process.Result();
  if (!ended) r.status = -1, r.timedOut = true;
  return r;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& input,
               const std::string& outputFile, int timeoutSeconds) {
  Process process(argv, input, outputFile);
  if (!process.WaitForExit(timeoutSeconds)) return -1;
  return process.Result().status;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> ProcessArguments(pid_t pid) {
  // read(2), not a stream: a process that ends meanwhile makes the read fail (ESRCH).
  std::string all;
  const int fd =
      ::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  char buffer[4096];
  for (ssize_t got; fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0;)
    all.append(buffer, static_cast<std::size_t>(got));
  if (fd >= 0) ::close(fd);
  std::vector<std::string> args;
  std::istringstream in(all);
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  return args;
}

std::vector<pid_t> OwnProcesses(const std::function<bool(const std::vector<std::string>&)>& match) {
  std::vector<pid_t> found;
  for (pid_t pid : Descendants(::getpid())) {
    const std::vector<std::string> args = ProcessArguments(pid);
    if (!args.empty() && match(args)) found.push_back(pid);  // an ended one shows none
  }
  return found;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace veldra::test
