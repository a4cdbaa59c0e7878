// The device and its session against a scripted server: the exact commands sent, and server
// behaviour real servers do not show on demand (no REST, a refused upload completion, a
// dropped control connection, refusals that cost a reconnect, a wrong password).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/uftpdevice.h"
#include "device/ureftp.h"
#include "tests/support/ScriptedFtpServer.h"
#include "tests/support/TempDir.h"

namespace {

using veldra::test::PatternBytes;
using veldra::test::ScriptedFtpServer;
using veldra::test::ScriptedSession;

// A small server-side file system and the rules of the scripted server.
struct FakeFtp {
  std::mutex mutex;
  std::map<std::string, std::string> files;  // remote path -> content
  bool restSupported = true;
  std::string password = "secret";
  std::string completionReply = "226 Transfer complete.";
  std::string deleReply = "250 Deleted.";
  // Returns true when it handled the command itself.
  std::function<bool(ScriptedSession&, const std::string&)> hook;

  std::string Get(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    return files[path];
  }
};

std::string Listing(FakeFtp& f, const std::string& cwd) {
  std::lock_guard<std::mutex> lock(f.mutex);
  std::string dir = cwd.size() > 1 && cwd.back() == '/' ? cwd.substr(0, cwd.size() - 1) : cwd;
  if (dir != "/") dir += '/';
  std::string text;
  for (const auto& file : f.files) {
    if (file.first.compare(0, dir.size(), dir) != 0) continue;
    std::string name = file.first.substr(dir.size());
    if (name.find('/') != std::string::npos) continue;
    text += "-rw-r--r--    1 1000     1000     " + std::to_string(file.second.size()) +
            " Mar 05 14:07 " + name + "\r\n";
  }
  return text;
}

// Serves one control connection until the client leaves (bounded: 60 s of silence at most).
void Serve(FakeFtp& f, ScriptedSession& s) {
  s.Greet();
  std::string cwd = "/";
  long long rest = 0;
  auto idleSince = std::chrono::steady_clock::now();
  for (;;) {
    std::string cmd = s.ReadCommand(200);
    if (cmd.empty()) {
      if (s.ClientClosed() ||
          std::chrono::steady_clock::now() - idleSince > std::chrono::seconds(60))
        return;
      continue;
    }
    idleSince = std::chrono::steady_clock::now();
    if (f.hook && f.hook(s, cmd)) continue;
    std::string verb = cmd.substr(0, cmd.find(' '));
    std::string arg = cmd.size() > verb.size() + 1 ? cmd.substr(verb.size() + 1) : "";
    if (verb == "USER") {
      s.Send("331 Password required.");
    } else if (verb == "PASS") {
      s.Send(arg == f.password ? "230 Logged in." : "530 Login incorrect.");
    } else if (verb == "TYPE") {
      s.Send("200 Type set.");
    } else if (verb == "SYST") {
      s.Send("215 UNIX Type: L8");
    } else if (verb == "CWD") {
      cwd = arg;
      s.Send("250 Okay.");
    } else if (verb == "PASV") {
      s.Send(s.OpenPassive());
    } else if (verb == "REST") {
      if (!f.restSupported) {
        s.Send("502 Command not implemented.");
        continue;
      }
      rest = std::stoll(arg);
      s.Send("350 Restarting.");
    } else if (verb == "LIST") {
      s.Send("150 Here comes the listing.");
      s.AcceptData();
      s.SendData(Listing(f, cwd));
      s.CloseData();
      s.Send("226 Done.");
    } else if (verb == "RETR") {
      std::string content = f.Get(arg);
      s.Send("150 Opening data connection.");
      s.AcceptData();
      s.SendData(content.substr(std::min<std::size_t>(rest, content.size())));
      rest = 0;
      s.CloseData();
      s.Send("226 Transfer complete.");
    } else if (verb == "APPE") {
      s.Send("150 Ok to send data.");
      s.AcceptData();
      std::string data = s.ReceiveData(20000);
      {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.files[arg] += data;
      }
      s.CloseData();
      s.Send(f.completionReply);
    } else if (verb == "ABOR") {
      s.Send("225 No transfer to ABOR.");
    } else if (verb == "DELE") {
      s.Send(f.deleReply);
    } else if (verb == "MKD") {
      s.Send("257 Created.");
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

class ScriptedDevice : public ::testing::Test {
 protected:
  void Start() {
    server_ = std::make_unique<ScriptedFtpServer>([this](ScriptedSession& s) { Serve(f_, s); });
  }
  std::unique_ptr<TFTPDevice> Connect(bool passive = true) {
    return std::make_unique<TFTPDevice>([&] {
      TDeviceSettings s;
      s.Host = "127.0.0.1";
      s.RemotePath = "";
      s.User = "user";
      s.Password = "secret";
      s.Passive = passive;
      s.Port = server_->Port();
      return s;
    }());
  }
  std::vector<std::string> Commands() const { return server_->Commands(); }

  FakeFtp f_;
  std::unique_ptr<ScriptedFtpServer> server_;
};

TEST_F(ScriptedDevice, SequentialReadsShareOneRetrAndOffsetsUseRest) {
  const std::string content = PatternBytes(100000, 3);
  f_.files["/f"] = content;
  f_.files["/g"] = "other";
  Start();
  auto dev = Connect();
  std::string got(100000, '\0');
  DWORD n = 0;
  for (int i = 0; i < 5; ++i) {
    dev->ReadAt("\\f", &got[i * 10000], i * 10000, 10000, &n);
    ASSERT_EQ(n, 10000u);
  }
  EXPECT_EQ(got.substr(0, 50000), content.substr(0, 50000));
  EXPECT_EQ(CountPrefix(Commands(), "RETR"), 1);
  EXPECT_EQ(CountPrefix(Commands(), "REST"), 2);  // only the probe: REST 1, REST 0

  // A jump sends REST with the offset; a read across the end delivers what exists.
  dev->ReadAt("\\f", &got[0], 95000, 10000, &n);
  EXPECT_EQ(n, 5000u);
  EXPECT_EQ(got.substr(0, 5000), content.substr(95000));
  EXPECT_EQ(CountPrefix(Commands(), "REST 95000"), 1);
  EXPECT_EQ(CountPrefix(Commands(), "RETR"), 2);

  // At and past the cached end: nothing is sent.
  size_t before = Commands().size();
  dev->ReadAt("\\f", &got[0], 100000, 10, &n);
  EXPECT_EQ(n, 0u);
  dev->ReadAt("\\f", &got[0], 200000, 10, &n);
  EXPECT_EQ(n, 0u);
  dev->ReadAt("\\f", &got[0], 5, 0, &n);
  EXPECT_EQ(Commands().size(), before);

  // Switching files closes the open transfer with ABOR.
  dev->ReadAt("\\f", &got[0], 0, 100, &n);
  dev->ReadAt("\\g", &got[0], 0, 5, &n);
  EXPECT_EQ(got.substr(0, 5), "other");
  EXPECT_EQ(CountPrefix(Commands(), "ABOR"), 2);  // the jump to 95000 and the switch
  EXPECT_EQ(CountPrefix(Commands(), "RETR /f"), 3);
  EXPECT_EQ(server_->SessionsStarted(), 1);
  EXPECT_THROW(dev->ReadAt("\\missing", &got[0], 0, 5, &n), EReFileNotFound);
  EXPECT_THROW(dev->ReadAt("\\", &got[0], 0, 5, &n), EReFileNotFound);
}

TEST_F(ScriptedDevice, WithoutRestOnlyOffsetZeroCanBeRead) {
  f_.files["/f"] = "abcdef";
  f_.restSupported = false;
  Start();
  auto dev = Connect();
  char buf[6];
  DWORD n = 0;
  dev->ReadAt("\\f", buf, 0, 6, &n);
  EXPECT_EQ(std::string(buf, n), "abcdef");
  EXPECT_THROW(dev->ReadAt("\\f", buf, 1, 2, &n), EFilerError);
}

TEST_F(ScriptedDevice, RefusedUploadCompletionReachesTheWriter) {
  f_.files["/up"] = "";
  f_.files["/other"] = "";
  f_.completionReply = "552 Quota exceeded.";
  Start();
  auto dev = Connect();
  const std::string data = PatternBytes(4096, 5);
  DWORD written = 0;
  dev->WriteAt("\\up", data.data(), 0, 4096, &written);
  EXPECT_EQ(written, 4096u);
  EXPECT_THROW(dev->FinishUpload("\\up"), EIdProtocolReplyError);
  BY_HANDLE_FILE_INFORMATION info;
  dev->GetFileInfo("\\up", &info);
  EXPECT_EQ(info.nFileSizeHigh, 0xFFFFFFFFu);
  EXPECT_EQ(info.nFileSizeLow, 0xFFFFFFFFu);
  EXPECT_THROW(dev->WriteAt("\\up", data.data(), 4096, 10, &written), EFilerError);

  // Finished by a clashing request instead: the refusal is kept for the writer's flush.
  dev->WriteAt("\\other", data.data(), 0, 100, &written);
  dev->CreateDir("\\d");
  EXPECT_NO_THROW(dev->FinishUpload("\\up"));
  EXPECT_THROW(dev->FinishUpload("\\other"), EIdProtocolReplyError);
  EXPECT_NO_THROW(dev->FinishUpload("\\other"));
  EXPECT_EQ(CountPrefix(Commands(), "ABOR"), 0);
  EXPECT_EQ(f_.Get("/other"), data.substr(0, 100));
}

TEST_F(ScriptedDevice, DownloadAtTheEndAndAppendThereNeverShareAConnection) {
  f_.files["/f"] = "0123456789";
  Start();
  auto dev = Connect();
  char buf[10];
  DWORD n = 0;
  dev->ReadAt("\\f", buf, 0, 10, &n);  // ends exactly at the end: the transfer stays open
  ASSERT_EQ(n, 10u);
  DWORD written = 0;
  dev->WriteAt("\\f", "abc", 10, 3, &written);
  EXPECT_EQ(written, 3u);
  dev->FinishUpload("\\f");
  EXPECT_EQ(f_.Get("/f"), "0123456789abc");
  EXPECT_EQ(CountPrefix(Commands(), "APPE /f"), 1);
}

TEST_F(ScriptedDevice, WritesAfterCreateEmptyFileListOnceThenShareOneAppe) {
  Start();
  auto dev = Connect();
  const int listsBefore = CountPrefix(Commands(), "LIST");
  dev->CreateEmptyFile("\\new");
  DWORD written = 0;
  for (int i = 0; i < 4; ++i) {
    dev->WriteAt("\\new", "0123456789", i * 10, 10, &written);
    ASSERT_EQ(written, 10u);
  }
  dev->FinishUpload("\\new");
  EXPECT_EQ(f_.Get("/new"), "0123456789012345678901234567890123456789");
  EXPECT_EQ(CountPrefix(Commands(), "APPE /new"), 2);  // the empty one, then the writes
  EXPECT_EQ(CountPrefix(Commands(), "LIST") - listsBefore, 1);
  EXPECT_EQ(CountPrefix(Commands(), "ABOR"), 0);
  EXPECT_EQ(dev->Session().ReadTimeout(), 5000);
}

TEST_F(ScriptedDevice, DroppedControlConnectionIsReconnectedOnce) {
  bool drop = false;
  f_.hook = [&](ScriptedSession& s, const std::string& cmd) {
    if (drop && s.Index() == 0 && cmd.compare(0, 3, "MKD") == 0) {
      s.Close();
      return true;
    }
    return false;
  };
  Start();
  auto dev = Connect();
  drop = true;
  EXPECT_NO_THROW(dev->CreateDir("\\new"));
  EXPECT_EQ(server_->SessionsStarted(), 2);
  EXPECT_EQ(CountPrefix(Commands(), "MKD /new"), 2);
  EXPECT_EQ(dev->Session().ReconnectCount(), 2);  // the first command's connect, then this
}

TEST_F(ScriptedDevice, RefusedDeleCostsOneReconnectAndWrongPasswordOneLogin) {
  f_.deleReply = "550 Permission denied.";
  Start();
  auto dev = Connect();
  EXPECT_THROW(dev->RemoveFile("\\x"), EIdProtocolReplyError);
  EXPECT_EQ(CountPrefix(Commands(), "DELE /x"), 2);
  EXPECT_EQ(server_->SessionsStarted(), 2);

  // A path with CR, LF or NUL is refused before anything is sent.
  size_t before = Commands().size();
  EXPECT_THROW(dev->RemoveFile("\\x\r\nDELE y"), EReBadPath);
  EXPECT_THROW(dev->CreateDir(std::string("\\a\0b", 4)), EReBadPath);
  EXPECT_EQ(Commands().size(), before);
  EXPECT_EQ(server_->SessionsStarted(), 2);

  f_.password = "other";
  EXPECT_THROW(Connect(), EIdProtocolReplyError);
  EXPECT_EQ(CountPrefix(Commands(), "PASS"), 3);  // two sessions above, one failed login
}

TEST_F(ScriptedDevice, DebugLinesAreWrittenAsSent) {
  Start();
  DebugMode = true;
  testing::internal::CaptureStdout();
  std::string out;
  try {
    auto dev = Connect();
    dev->CreateDir("\\d");
  } catch (...) {
  }
  out = testing::internal::GetCapturedStdout();
  DebugMode = false;
  EXPECT_NE(out.find("    FTP SendCmd: CWD /\n      -->Err: EIdNotConnected Not Connected\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("    FTP SendCmd: PASS secret\n    -->Ext: 230\n"), std::string::npos);
  EXPECT_NE(out.find("    FTP SendCmd: MKD /d\n    -->Ext: 257\n"), std::string::npos);
}

}  // namespace
