// The transport, the FTP client and the device under Windows (or wine) against a real FTP
// server on 127.0.0.1. scripts/test-windows.sh starts the server and names it in the
// environment: VELDRA_WIN_FTP_PORT, VELDRA_WIN_FTP_USER, VELDRA_WIN_FTP_PASSWORD and
// VELDRA_WIN_FTP_ROOT (the server's root directory as this program sees it). Without them the
// cases skip; the script always sets them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"
#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "platform/TextConv.h"

namespace {

struct TServer {
  int port = 0;
  std::string user, password, root;
};

bool FindServer(TServer* server) {
  const char* port = std::getenv("VELDRA_WIN_FTP_PORT");
  const char* user = std::getenv("VELDRA_WIN_FTP_USER");
  const char* password = std::getenv("VELDRA_WIN_FTP_PASSWORD");
  const char* root = std::getenv("VELDRA_WIN_FTP_ROOT");
  if (!port || !user || !password || !root) return false;
  server->port = std::atoi(port);
  server->user = user;
  server->password = password;
  server->root = root;
  return true;
}

#define NEED_SERVER(server) \
  TServer server;           \
  if (!FindServer(&server)) GTEST_SKIP() << "VELDRA_WIN_FTP_* not set: no server"

std::string RootFile(const TServer& server, const std::string& name) {
  return server.root + "\\" + name;
}

void PutFile(const TServer& server, const std::string& name, const std::string& content) {
  std::ofstream out(RootFile(server, name), std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << RootFile(server, name);
}

std::string GetFile(const TServer& server, const std::string& name) {
  std::ifstream in(RootFile(server, name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const TServer& server, const std::string& name) {
  return std::ifstream(RootFile(server, name)).good();
}

// A byte pattern that shows misplaced blocks.
std::string Pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  return text;
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

TEST(Win32Transport, GreetingLineAndRefusedPort) {
  NEED_SERVER(server);
  TIdTCPClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(server.port);
  client.ConnectToHost(5000);
  client.SetReadTimeout(5000);
  EXPECT_EQ(client.ReadLine().substr(0, 4), "220 ");
  client.WriteLine("QUIT");
  EXPECT_EQ(client.ReadLine().substr(0, 3), "221");
  client.CloseConnection();

  // Refused without a time-out: the socket error itself; with one: the connect thread's message.
  TIdTCPClient refused;
  refused.SetHost("localhost");
  refused.SetPort(1);  // a privileged port nobody serves here
  try {
    refused.ConnectToHost();
    FAIL() << "expected a refused connection";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
    EXPECT_EQ(std::string(e.what()).rfind("Socket Error # 10061\r\n", 0), 0u) << e.what();
  }
  try {
    refused.ConnectToHost(5000);
    FAIL() << "expected a refused connection";
  } catch (const EIdException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Socket Error # 10061\r\n", 0), 0u) << e.what();
  }
}

TEST(Win32FtpClient, LoginListingAndRefusedLogin) {
  NEED_SERVER(server);
  PutFile(server, "client-list.txt", "12345");
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    TIdFTP ftp;
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(server.port);
    ftp.SetUsername(server.user);
    ftp.SetPassword(server.password);
    ftp.SetPassive(passive);
    ftp.OpenSession(true, 5000);
    ftp.RequestListing(nullptr, "", true);
    bool found = false;
    TIdFTPListItems& items = ftp.ParsedListing();
    for (int i = 0; i < items.ItemCount(); ++i) {
      if (items.ItemAt(i).EntryName != "client-list.txt") continue;
      found = true;
      EXPECT_EQ(items.ItemAt(i).ByteSize, 5);
    }
    EXPECT_TRUE(found);
    ftp.CloseConnection();
  }

  TIdFTP wrong;
  wrong.SetHost("127.0.0.1");
  wrong.SetPort(server.port);
  wrong.SetUsername(server.user);
  wrong.SetPassword(server.password + "-not");
  try {
    wrong.OpenSession(true, 5000);
    FAIL() << "expected a refused login";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 530);
  }
}

TEST(Win32Device, ReadsWritesRenamesAndDeletesInBothModes) {
  NEED_SERVER(server);
  const std::string big = Pattern(3 * 1024 * 1024 + 17);
  PutFile(server, "device-big.bin", big);
  for (bool passive : {true, false}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    const std::string mode = passive ? "pasv" : "port";
    TFTPDevice device([&] {
      TDeviceSettings s;
      s.Host = "127.0.0.1";
      s.RemotePath = "";
      s.User = server.user;
      s.Password = server.password;
      s.Passive = passive;
      s.Port = server.port;
      return s;
    }());
    BY_HANDLE_FILE_INFORMATION info{};
    device.GetFileInfo("\\device-big.bin", &info);
    EXPECT_EQ(info.nFileSizeLow, big.size());
    EXPECT_THROW(device.GetFileInfo("\\no-such-file", &info), EReFileNotFound);

    // Sequential reads in 64 KiB blocks, then reads at scattered offsets.
    std::string copy;
    std::vector<char> block(65536);
    for (LONGLONG offset = 0;; offset += 65536) {
      DWORD read = 0;
      device.ReadAt("\\device-big.bin", block.data(), offset, 65536, &read);
      if (read == 0) break;
      copy.append(block.data(), read);
    }
    EXPECT_TRUE(copy == big) << copy.size();
    for (LONGLONG offset : {LONGLONG(1000000), LONGLONG(17), LONGLONG(big.size() - 5)}) {
      DWORD read = 0;
      device.ReadAt("\\device-big.bin", block.data(), offset, 100, &read);
      ASSERT_EQ(read, std::min<DWORD>(100, static_cast<DWORD>(big.size() - offset)));
      EXPECT_EQ(std::string(block.data(), read), big.substr(offset, read));
    }

    // A new file written from 0, appended at its end, then renamed and removed.
    const std::string name = "written-" + mode + ".txt";
    device.CreateEmptyFile("\\" + name);
    const std::string first = "first part, ";
    const std::string second = "second part";
    DWORD written = 0;
    device.WriteAt("\\" + name, first.data(), 0, static_cast<DWORD>(first.size()), &written);
    EXPECT_EQ(written, first.size());
    device.WriteAt("\\" + name, second.data(), static_cast<LONGLONG>(first.size()),
                   static_cast<DWORD>(second.size()), &written);
    device.FinishUpload("\\" + name);
    EXPECT_EQ(GetFile(server, name), first + second);

    device.CreateDir("\\dir-" + mode);
    const std::string moved = "dir-" + mode + "\\moved.txt";
    device.Rename("\\" + name, "\\" + moved);
    EXPECT_FALSE(FileExists(server, name));
    EXPECT_EQ(GetFile(server, moved), first + second);
    EXPECT_EQ(ListNames(device, "\\dir-" + mode + "\\").count("moved.txt"), 1u);
    EXPECT_EQ(ListNames(device, "\\").count("dir-" + mode), 1u);
    device.RemoveFile("\\" + moved);
    device.RemoveDir("\\dir-" + mode);
    EXPECT_FALSE(FileExists(server, moved));
    EXPECT_EQ(ListNames(device, "\\").count("dir-" + mode), 0u);
  }
}

TEST(Win32Device, RefusedLoginIsAnExceptionAndARemoteRootIsHonoured) {
  NEED_SERVER(server);
  EXPECT_THROW(TFTPDevice([&] {
                 TDeviceSettings s;
                 s.Host = "127.0.0.1";
                 s.RemotePath = "";
                 s.User = server.user;
                 s.Password = "wrong-password";
                 s.Passive = true;
                 s.Port = server.port;
                 return s;
               }()),
               EIdProtocolReplyError);
  std::filesystem::create_directories(RootFile(server, "sub-root"));
  PutFile(server, "sub-root\\inner.txt", "inside");
  TFTPDevice device([&] {
    TDeviceSettings s;
    s.Host = "127.0.0.1";
    s.RemotePath = "sub-root";
    s.User = server.user;
    s.Password = server.password;
    s.Passive = true;
    s.Port = server.port;
    return s;
  }());
  EXPECT_EQ(device.VolumeName().rfind("ftp://127.0.0.1", 0), 0u) << device.VolumeName();
  char buffer[16] = {};
  DWORD read = 0;
  device.ReadAt("\\inner.txt", buffer, 0, sizeof buffer, &read);
  EXPECT_EQ(std::string(buffer, read), "inside");
}
