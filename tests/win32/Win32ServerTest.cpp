// The device over the transport and the FTP client, built for Windows, against a real FTP
// server on 127.0.0.1 (the portable and scripted suites cover the layers one by one).
// scripts/test-windows.sh starts the server and names it in the environment:
// VELDRA_WIN_FTP_PORT, VELDRA_WIN_FTP_USER, VELDRA_WIN_FTP_PASSWORD and VELDRA_WIN_FTP_ROOT
// (the server's root directory as this program sees it). Without them the cases skip; the
// script always sets them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "net/IdException.h"
#include "platform/TextConv.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

#define NEED_SERVER() \
  if (Env("VELDRA_WIN_FTP_ROOT").empty()) GTEST_SKIP() << "VELDRA_WIN_FTP_* not set: no server"

std::string RootFile(const std::string& name) {
  return Env("VELDRA_WIN_FTP_ROOT") + "\\" + name;
}

std::string GetFile(const std::string& name) {
  std::ifstream in(RootFile(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TDeviceSettings Settings(bool passive, const std::string& remotePath = "",
                         const std::string& password = Env("VELDRA_WIN_FTP_PASSWORD")) {
  TDeviceSettings s;
  s.Host = "127.0.0.1";
  s.RemotePath = remotePath;
  s.User = Env("VELDRA_WIN_FTP_USER");
  s.Password = password;
  s.Passive = passive;
  s.Port = std::atoi(Env("VELDRA_WIN_FTP_PORT").c_str());
  return s;
}

std::set<std::string> ListNames(TFTPDevice& device, const std::string& dir) {
  std::set<std::string> names;
  device.LoadDirectory(dir);
  WIN32_FIND_DATAW data{};
  for (bool more = device.FindFirst(dir, &data); more; more = device.FindNext(&data))
    names.insert(veldra::platform::WideToAnsi(reinterpret_cast<const char16_t*>(data.cFileName)));
  return names;
}

}  // namespace

TEST(Win32Device, ReadsWritesRenamesAndDeletesInBothModes) {
  NEED_SERVER();
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  std::ofstream(RootFile("device-big.bin"), std::ios::binary) << big;
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    const std::string mode = passive ? "pasv" : "port";
    TFTPDevice device(Settings(passive));
    BY_HANDLE_FILE_INFORMATION info{};
    device.GetFileInfo("\\device-big.bin", &info);
    EXPECT_EQ(info.nFileSizeLow, big.size());
    EXPECT_THROW(device.GetFileInfo("\\no-such-file", &info), EReFileNotFound);
    // Sequential reads in 64 KiB blocks, then reads at scattered offsets.
    std::string copy;
    std::vector<char> block(65536);
    DWORD read = 0;
    for (LONGLONG offset = 0;; offset += read) {
      device.ReadAt("\\device-big.bin", block.data(), offset, 65536, &read);
      if (read == 0) break;
      copy.append(block.data(), read);
    }
    EXPECT_TRUE(copy == big) << copy.size();
    for (LONGLONG offset : {LONGLONG(1000000), LONGLONG(17), LONGLONG(big.size() - 5)}) {
      device.ReadAt("\\device-big.bin", block.data(), offset, 100, &read);
      EXPECT_EQ(std::string(block.data(), read), big.substr(offset, 100));
    }
    // A new file written from 0, appended at its end, then renamed and removed.
    const std::string name = "written-" + mode + ".txt", dir = "dir-" + mode;
    const std::string moved = dir + "\\moved.txt";
    device.CreateEmptyFile("\\" + name);
    DWORD written = 0;
    device.WriteAt("\\" + name, "first part, ", 0, 12, &written);
    EXPECT_EQ(written, 12u);
    device.WriteAt("\\" + name, "second part", 12, 11, &written);
    device.FinishUpload("\\" + name);
    EXPECT_EQ(GetFile(name), "first part, second part");
    device.CreateDir("\\" + dir);
    device.Rename("\\" + name, "\\" + moved);
    EXPECT_FALSE(std::filesystem::exists(RootFile(name)));
    EXPECT_EQ(GetFile(moved), "first part, second part");
    EXPECT_EQ(ListNames(device, "\\" + dir + "\\").count("moved.txt"), 1u);
    EXPECT_EQ(ListNames(device, "\\").count(dir), 1u);
    device.RemoveFile("\\" + moved);
    device.RemoveDir("\\" + dir);
    EXPECT_FALSE(std::filesystem::exists(RootFile(moved)));
    EXPECT_EQ(ListNames(device, "\\").count(dir), 0u);
  }
}

TEST(Win32Device, RefusedLoginIsAnExceptionAndARemoteRootIsHonoured) {
  NEED_SERVER();
  try {
    TFTPDevice refused(Settings(true, "", "wrong-password"));
    ADD_FAILURE() << "the login was not refused";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 530);
  }
  std::filesystem::create_directories(RootFile("sub-root"));
  std::ofstream(RootFile("sub-root\\inner.txt"), std::ios::binary) << "inside";
  TFTPDevice device(Settings(true, "sub-root"));
  EXPECT_EQ(device.VolumeName().rfind("ftp://127.0.0.1", 0), 0u) << device.VolumeName();
  char buffer[16] = {};
  DWORD read = 0;
  device.ReadAt("\\inner.txt", buffer, 0, sizeof buffer, &read);
  EXPECT_EQ(std::string(buffer, read), "inside");
}
