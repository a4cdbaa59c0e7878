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

namespace {

constexpr auto kAll = fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all;
constexpr auto kReadWrite = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::group_write | fs::perms::others_read |
                            fs::perms::others_write;

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path);
}

void Write(const std::string& path, const std::string& content, std::ios::openmode mode) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) MakeDirs(parent.string());
  std::ofstream out(path, std::ios::binary | mode);
  if (!out.write(content.data(), static_cast<std::streamsize>(content.size())))
    Fail("cannot write", path);
  out.close();
  fs::permissions(path, kReadWrite);
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot create", pattern);
  path_ = pattern;
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  Write(path, content, std::ios::trunc);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot open", path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void MakeDirs(const std::string& path) {
  std::vector<fs::path> missing;
  for (fs::path p = path; !p.empty() && !fs::exists(p) && p != p.parent_path(); p = p.parent_path())
    missing.push_back(p);
  fs::create_directories(path);
  for (const fs::path& p : missing) fs::permissions(p, kAll);
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

void MakeSparseFile(const std::string& path, std::uint64_t size, std::uint64_t markerOffset,
                    const std::string& marker) {
  Write(path, "", std::ios::app);
  fs::resize_file(path, size);
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(markerOffset));
  if (!out.write(marker.data(), static_cast<std::streamsize>(marker.size())))
    Fail("cannot write the marker into", path);
}

std::uint64_t Fnv1a64(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ULL;
  return h;
}

std::string ChecksumOf(const std::string& bytes) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(Fnv1a64(bytes)));
  return buf;
}

std::string ChecksumOfFile(const std::string& path) {
  return ChecksumOf(ReadFile(path));
}

}  // namespace veldra::test
