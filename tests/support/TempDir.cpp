#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace veldra::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  path_ = pattern;
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  // The missing parents, outermost last, then opened to all.
  std::vector<fs::path> missing;
  for (fs::path p = fs::path(path).parent_path();
       !p.empty() && !fs::exists(p) && p != p.parent_path(); p = p.parent_path())
    missing.push_back(p);
  if (!missing.empty()) fs::create_directories(missing.front());
  for (const fs::path& p : missing) fs::permissions(p, fs::perms::all);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(content.data(), static_cast<std::streamsize>(content.size())))
    throw std::runtime_error("cannot write " + path);
  out.close();
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::group_write | fs::perms::others_read |
                            fs::perms::others_write);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveTree(const std::string& path) {
  fs::remove_all(path);
}

bool Exists(const std::string& path) {
  return fs::exists(fs::symlink_status(path));
}

bool IsDir(const std::string& path) {
  return fs::is_directory(path);
}

std::uint64_t FileSize(const std::string& path) {
  return fs::file_size(path);
}

std::string ChecksumOf(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ULL;
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::string ChecksumOfFile(const std::string& path) {
  return ChecksumOf(ReadFile(path));
}

}  // namespace veldra::test
