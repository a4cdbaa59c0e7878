// The device and its sessions against a scripted server: the exact commands sent (and so the
// round trips each operation costs), and server behaviour real servers do not show on demand:
// transfers closed with errors, refusals, dropped connections, hostile passive replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/SessionPool.h"
#include "device/uftpdevice.h"
#include "device/ureftp.h"
#include "tests/support/FakeFtp.h"
#include "tests/support/TempDir.h"

namespace {

using veldra::test::CountPrefix;
using veldra::test::FakeFtp;
using veldra::test::PatternBytes;
using veldra::test::ScriptedSession;

class ScriptedDevice : public ::testing::Test {
 protected:
  std::unique_ptr<TFTPDevice> Connect(int sessions = 1) {
    TDeviceSettings s;
    s.Host = "127.0.0.1";
    s.User = "user";
    s.Password = "secret";
    s.Port = f_->Port();
    s.Sessions = sessions;
    return std::make_unique<TFTPDevice>(s);
  }
  std::vector<std::string> Commands() const { return f_->Commands(); }
  // Commands sent while `step` ran.
  std::vector<std::string> During(const std::function<void()>& step) {
    const size_t before = Commands().size();
    step();
    const std::vector<std::string> all = Commands();
    return std::vector<std::string>(all.begin() + static_cast<long>(before), all.end());
  }

  std::unique_ptr<FakeFtp> f_ = std::make_unique<FakeFtp>();
};

// What each operation costs on the wire once the drive is up, on a server with MLSD and on
// one with LIST only. Every command is one round trip (the data of a transfer comes with
// the reply to the transfer command).
TEST_F(ScriptedDevice, CommandsPerOperation) {
  struct Row {
    const char* operation;
    bool mlsd;
    std::vector<std::string> expected;
  } rows[] = {
      {"read a small file", true, {"PASV", "RETR /d/f"}},
      {"list a directory", true, {"PASV", "MLSD /e/"}},
      {"list a directory", false, {"CWD /e/", "PASV", "LIST -a"}},
      {"create and write a small file", true, {"PASV", "APPE /d/new"}},
      {"rename", true, {"RNFR /d/f", "RNTO /d/g"}},
      {"delete", true, {"DELE /d/f"}},
  };
  for (const Row& row : rows) {
    f_ = std::make_unique<FakeFtp>();
    f_->OfferMlsd(row.mlsd);
    f_->Put("/d/f", "tiny");
    f_->Put("/e/x", "1");
    auto dev = Connect();
    std::vector<TDirectoryEntry> entries;
    dev->ReadDirectory("\\d\\", &entries);
    const std::string op = row.operation;
    const std::vector<std::string> sent = During([&] {
      char buf[16];
      DWORD n = 0;
      if (op == "read a small file") {
        dev->ReadAt("\\d\\f", buf, 0, sizeof buf, &n);
        EXPECT_EQ(std::string(buf, n), "tiny");
        dev->ReadAt("\\d\\f", buf, 4, sizeof buf, &n);  // end of file: nothing sent
      } else if (op == "list a directory") {
        dev->ReadDirectory("\\e\\", &entries);
        dev->ReadDirectory("\\e\\", &entries);  // cached
        EXPECT_EQ(entries.size(), 3u);
      } else if (op == "create and write a small file") {
        dev->CreateEmptyFile("\\d\\new");
        dev->WriteAt("\\d\\new", "hello", 0, 5, &n);
        dev->FinishUpload("\\d\\new");
        EXPECT_EQ(f_->Get("/d/new"), "hello");
      } else if (op == "rename") {
        dev->Rename("\\d\\f", "\\d\\g");
      } else {
        dev->RemoveFile("\\d\\f");
      }
    });
    EXPECT_EQ(sent, row.expected) << row.operation;
    dev.reset();
  }
}

TEST_F(ScriptedDevice, SequentialReadsShareOneRetrAndOffsetsUseRest) {
  const std::string content = PatternBytes(100000, 3);
  f_->Put("/f", content);
  f_->Put("/g", "other");
  auto dev = Connect();
  std::string got(100000, '\0');
  DWORD n = 0;
  for (int i = 0; i < 5; ++i) {
    dev->ReadAt("\\f", &got[i * 10000], i * 10000, 10000, &n);
    ASSERT_EQ(n, 10000u);
  }
  EXPECT_EQ(got.substr(0, 50000), content.substr(0, 50000));
  EXPECT_EQ(CountPrefix(Commands(), "RETR"), 1);
  // A jump sends REST with the offset; a read across the end delivers what exists.
  dev->ReadAt("\\f", &got[0], 95000, 10000, &n);
  EXPECT_EQ(got.substr(0, n), content.substr(95000));
  EXPECT_EQ(CountPrefix(Commands(), "REST 95000"), 1);
  // Switching files closes the open transfer with ABOR.
  dev->ReadAt("\\f", &got[0], 0, 100, &n);
  dev->ReadAt("\\g", &got[0], 0, 5, &n);
  EXPECT_EQ(got.substr(0, 5), "other");
  EXPECT_EQ(CountPrefix(Commands(), "ABOR"), 2);  // the jump to 95000 and the switch
  EXPECT_THROW(dev->ReadAt("\\missing", &got[0], 0, 5, &n), EReFileNotFound);
  EXPECT_THROW(dev->ReadAt("\\", &got[0], 0, 5, &n), EReFileNotFound);
}

// A transfer's closing reply decides whether its data were whole.
TEST_F(ScriptedDevice, TheClosingReplyDecidesWhatAReadReturns) {
  struct Row {
    const char* name;
    int failures;          // transfers that end early with 451
    std::string onServer;  // what the server holds after the first listing
    bool expectFailure;
    std::string expected;
  } rows[] = {
      {"451 once: resumed with REST", 1, "", false, ""},
      {"451 twice: the read fails", 2, "", true, ""},
      {"226 with nothing: the file changed", 0, "", false, ""},
  };
  for (const Row& row : rows) {
    f_ = std::make_unique<FakeFtp>();
    const std::string content = PatternBytes(200000, 7);
    f_->Put("/f", content);
    int failures = row.failures;
    const bool emptied = row.failures == 0;
    f_->SetHook([&](ScriptedSession& s, const std::string& cmd) {
      if (cmd.compare(0, 4, "RETR") != 0) return false;
      if (emptied) {  // the file became empty on the server after it was listed
        f_->Put("/f", "");
        return false;
      }
      if (failures == 0) return false;
      --failures;
      s.Send("150 Opening.");
      s.AcceptData();
      s.SendData(content.substr(0, 1000));
      s.CloseData();
      s.Send("451 Transfer aborted: local error.");
      return true;
    });
    auto dev = Connect();
    std::string got(200000, '\0');
    DWORD n = 0;
    if (row.expectFailure) {
      EXPECT_THROW(dev->ReadAt("\\f", &got[0], 0, 200000, &n), EIdException) << row.name;
    } else {
      dev->ReadAt("\\f", &got[0], 0, 200000, &n);
      EXPECT_EQ(got.substr(0, n), emptied ? std::string() : content) << row.name;
      BY_HANDLE_FILE_INFORMATION info;
      dev->GetFileInfo("\\f", &info);
      EXPECT_EQ(FileSizeValue(info), emptied ? 0u : 200000u) << row.name;
    }
    if (!emptied) {
      EXPECT_EQ(CountPrefix(Commands(), "REST 1000"), 1) << row.name;
    }
    dev.reset();
  }
}

TEST_F(ScriptedDevice, RefusalsAreAnswersAndOnlyALostConnectionReconnects) {
  auto dev = Connect();
  f_->SetHook([&](ScriptedSession& s, const std::string& cmd) {
    if (cmd.compare(0, 4, "DELE") == 0) return s.Send("550 Permission denied."), true;
    if (cmd.compare(0, 3, "MKD") == 0 && s.Index() == 0) return s.Close(), true;
    return false;
  });
  try {
    dev->RemoveFile("\\x");
    ADD_FAILURE() << "a refused DELE succeeded";
  } catch (const EReRefused& e) {
    EXPECT_EQ(e.WindowsCode(), wincode::kAccessDenied);
  }
  EXPECT_EQ(CountPrefix(Commands(), "DELE /x"), 1);
  EXPECT_EQ(f_->Server().SessionsStarted(), 1);
  EXPECT_NO_THROW(dev->CreateDir("\\new"));  // lost at MKD: one reconnect, sent again
  EXPECT_EQ(CountPrefix(Commands(), "MKD /new"), 2);
  EXPECT_EQ(f_->Server().SessionsStarted(), 2);
  // A path with CR, LF or NUL is refused before anything is sent.
  const size_t before = Commands().size();
  EXPECT_THROW(dev->RemoveFile("\\x\r\nDELE y"), EReBadPath);
  EXPECT_THROW(dev->CreateDir(std::string("\\a\0b", 4)), EReBadPath);
  EXPECT_EQ(Commands().size(), before);
  // A wrong password is tried once.
  f_ = std::make_unique<FakeFtp>();
  TDeviceSettings wrong;
  wrong.Host = "127.0.0.1";
  wrong.User = "user";
  wrong.Password = "other";
  wrong.Port = f_->Port();
  EXPECT_THROW(TFTPDevice{wrong}, EIdProtocolReplyError);
  EXPECT_EQ(CountPrefix(Commands(), "PASS"), 1);
}

// A reconnection in the middle of a listing goes back to the directory being listed.
TEST_F(ScriptedDevice, AListingAfterAReconnectionShowsTheDirectoryAskedFor) {
  f_->Put("/top", "1");
  f_->Put("/sub/inner", "22");
  bool drop = true;
  f_->SetHook([&](ScriptedSession& s, const std::string& cmd) {
    if (drop && cmd == "PASV" && s.Index() == 0 && CountPrefix(f_->Commands(), "CWD /sub") > 0)
      return drop = false, s.Close(), true;
    return false;
  });
  auto dev = Connect();
  std::vector<TDirectoryEntry> entries;
  ASSERT_TRUE(dev->ReadDirectory("\\sub\\", &entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].name, "inner");
  EXPECT_EQ(CountPrefix(Commands(), "CWD /sub"), 2);
}

// After a failed listing read the closing reply is taken (or the session dropped): a later
// command never takes it for its own answer.
TEST_F(ScriptedDevice, AFailedListingLeavesNoReplyBehind) {
#ifdef _WIN32
  GTEST_SKIP() << "wine reports the data connection's reset as an orderly end";
#endif
  f_->Put("/d/x", "1");
  f_->SetHook([&](ScriptedSession& s, const std::string& cmd) {
    if (cmd.compare(0, 4, "LIST") == 0 && s.Index() == 0 &&
        CountPrefix(f_->Commands(), "LIST") > 1) {
      s.Send("150 Here it comes.");
      s.AcceptData();
      s.SendData("-rw-r--r-- 1 a b 1 Mar 05 14:07 x\r\n");
      s.ResetData();
      s.Send("250 Directory send OK.");  // what the server believes; left unread, the next
                                         // command would take it for its own answer
      return true;
    }
    if (cmd.compare(0, 4, "DELE") == 0) return s.Send("550 Permission denied."), true;
    return false;
  });
  auto dev = Connect();
  std::vector<TDirectoryEntry> entries;
  EXPECT_ANY_THROW(dev->ReadDirectory("\\d\\", &entries));
  EXPECT_THROW(dev->RemoveFile("\\d\\x"), EReRefused);
}

// Two writers whose uploads the server refuses: each hears of its own refusal.
TEST_F(ScriptedDevice, EveryRefusedUploadReachesItsWriter) {
  f_->SetCompletionReply("552 Quota exceeded.");
  auto dev = Connect();
  DWORD written = 0;
  dev->CreateEmptyFile("\\a");
  dev->WriteAt("\\a", "aaaa", 0, 4, &written);
  dev->CreateEmptyFile("\\b");  // finishes a's upload on the one session: refused
  dev->WriteAt("\\b", "bbbb", 0, 4, &written);
  dev->CreateDir("\\d");  // finishes b's
  // The refusal was seen: the drive shows what the server holds (nothing), and the writer
  // cannot go on appending to a file that is not there.
  BY_HANDLE_FILE_INFORMATION info;
  EXPECT_THROW(dev->GetFileInfo("\\a", &info), EReFileNotFound);
  EXPECT_THROW(dev->WriteAt("\\a", "more", 4, 4, &written), EReFileNotFound);
  EXPECT_THROW(dev->FinishUpload("\\a"), EIdProtocolReplyError);
  EXPECT_THROW(dev->FinishUpload("\\b"), EIdProtocolReplyError);
  EXPECT_NO_THROW(dev->FinishUpload("\\a"));  // told once
}

// A passive reply naming another host is not followed: data go to the server itself.
TEST_F(ScriptedDevice, APassiveReplyCannotSendDataElsewhere) {
  f_->Put("/f", "truth");
  f_->SetHook([&](ScriptedSession& s, const std::string& cmd) {
    if (cmd != "PASV") return false;
    std::string reply = s.OpenPassive();  // "227 ... (127,0,0,1,p1,p2)."
    reply.replace(reply.find("127,0,0,1"), 9, "10,9,9,9");
    return s.Send(reply), true;
  });
  auto dev = Connect();
  char buf[8];
  DWORD n = 0;
  dev->ReadAt("\\f", buf, 0, sizeof buf, &n);
  EXPECT_EQ(std::string(buf, n), "truth");
}

TEST_F(ScriptedDevice, SessionsInParallelKeepTheirTransfers) {
  f_->Put("/a", PatternBytes(300000, 1));
  f_->Put("/b", PatternBytes(300000, 2));
  auto dev = Connect(3);
  std::string a(300000, '\0'), b(300000, '\0');
  DWORD n = 0;
  // Interleaved sequential readers of two files: each keeps its own transfer going.
  for (int i = 0; i < 3; ++i) {
    dev->ReadAt("\\a", &a[i * 100000], i * 100000, 100000, &n);
    dev->ReadAt("\\b", &b[i * 100000], i * 100000, 100000, &n);
  }
  EXPECT_EQ(a, f_->Get("/a"));
  EXPECT_EQ(b, f_->Get("/b"));
  EXPECT_EQ(CountPrefix(Commands(), "RETR"), 2);
  EXPECT_EQ(CountPrefix(Commands(), "ABOR"), 0);
  EXPECT_LE(dev->Pool().Logins(), 3);
}

TEST_F(ScriptedDevice, DebugLinesAreWrittenAsSent) {
  DebugMode = true;
  testing::internal::CaptureStdout();
  try {
    auto dev = Connect(4);
    dev->CreateDir("\\d");
  } catch (...) {
    ADD_FAILURE() << "mount failed";
  }
  const std::string out = testing::internal::GetCapturedStdout();
  DebugMode = false;
  EXPECT_NE(out.find("    FTP SendCmd: PASS secret\n    -->Ext: 230\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    FTP SendCmd: MKD /d\n    -->Ext: 257\n"), std::string::npos) << out;
  EXPECT_EQ(f_->Server().SessionsStarted(), 1);  // /DEBUG: one session whatever was asked
}

}  // namespace
