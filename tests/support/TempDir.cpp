#include "tests/support/TempDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace veldra::test {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// Owns one file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

void WriteAll(int fd, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write", path);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void WriteWithFlags(const std::string& path, const std::string& content, int flags) {
  fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) MakeDirs(parent.string());
  Fd fd(::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (fd.Get() < 0) Fail("cannot open", path);
  ::fchmod(fd.Get(), 0666);
  WriteAll(fd.Get(), content.data(), content.size(), path);
}

constexpr std::uint64_t kFnvOffset = 1469598103934665603ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

std::uint64_t FnvUpdate(std::uint64_t h, const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= kFnvPrime;
  }
  return h;
}

std::string Hex(std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) Fail("cannot create temporary directory", pattern);
  path_ = buf.data();
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  WriteWithFlags(path, content, O_TRUNC);
}

void AppendFile(const std::string& path, const std::string& content) {
  WriteWithFlags(path, content, O_APPEND);
}

std::string ReadFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) Fail("cannot open", path);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot read", path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

void MakeDirs(const std::string& path) {
  fs::path p(path);
  std::vector<fs::path> missing;
  for (fs::path q = p; !q.empty() && !fs::exists(q); q = q.parent_path()) {
    missing.push_back(q);
    if (q == q.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) Fail("cannot create", it->string());
    ::chmod(it->c_str(), 0777);
  }
  if (!fs::is_directory(p)) throw std::runtime_error("not a directory: " + path);
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) throw std::runtime_error("cannot remove " + path + ": " + ec.message());
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::uint64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) Fail("cannot stat", path);
  return static_cast<std::uint64_t>(st.st_size);
}

void MakeSparseFile(const std::string& path, std::uint64_t size, std::uint64_t markerOffset,
                    const std::string& marker) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (fd.Get() < 0) Fail("cannot open", path);
  ::fchmod(fd.Get(), 0666);
  if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) Fail("cannot resize", path);
  if (!marker.empty()) {
    if (::pwrite(fd.Get(), marker.data(), marker.size(), static_cast<off_t>(markerOffset)) !=
        static_cast<ssize_t>(marker.size()))
      Fail("cannot write marker into", path);
  }
}

std::uint64_t Fnv1a64(const std::string& bytes) {
  return FnvUpdate(kFnvOffset, bytes.data(), bytes.size());
}

std::uint64_t Fnv1a64OfFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) Fail("cannot open", path);
  std::uint64_t h = kFnvOffset;
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = ::read(fd.Get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot read", path);
    }
    if (n == 0) break;
    h = FnvUpdate(h, buf.data(), static_cast<std::size_t>(n));
  }
  return h;
}

std::string ChecksumOfFile(const std::string& path) {
  return Hex(Fnv1a64OfFile(path));
}
std::string ChecksumOf(const std::string& bytes) {
  return Hex(Fnv1a64(bytes));
}

}  // namespace veldra::test
