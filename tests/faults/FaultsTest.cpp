// Faults that real networks and servers produce, injected under a drive mounted by the
// veldra command. Each case is bounded in time and ends by proving the drive still works and
// no byte was lost or corrupted (checksums against the server's own files).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace veldra::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string Q(const std::string& s) {
  return ShellQuote(s);
}

std::string ModeName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "passive" : "active";
}

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

class FaultTest : public ::testing::Test {
 protected:
  // With VELDRA_TEST_DUMP_LOGS set, prints the server's log (to see the fault happen).
  static void DumpLog(const TestFtpServer& server) {
    if (std::getenv("VELDRA_TEST_DUMP_LOGS")) std::printf("%s\n", server.LogText().c_str());
  }
  std::unique_ptr<VeldraDrive> Mount(const TestFtpServer& server, bool passive = true) {
    DriveOptions o;
    o.letter = 'y';
    o.port = server.Port();
    o.user = server.User();
    o.password = server.Password();
    o.passive = passive;
    return std::make_unique<VeldraDrive>(VELDRA_EXECUTABLE, o);
  }
  // Copies a drive file to the work directory with cat; returns the command's result.
  CommandResult CatOut(const std::string& from, const std::string& to, int timeoutSeconds = 120) {
    return RunShell("cat " + Q(from) + " > " + Q(to), timeoutSeconds);
  }
  // The drive's copy of a file equals `want` (read through a fresh cat).
  void ExpectReads(const VeldraDrive& d, const std::string& name, const std::string& want) {
    CommandResult r = CatOut(d / name, work_ / "check.out");
    ASSERT_EQ(r.status, 0) << name << ": " << r.output;
    EXPECT_EQ(ChecksumOfFile(work_ / "check.out"), ChecksumOf(want)) << name;
  }
  // A write through the drive reaches the server complete.
  void ExpectWriteWorks(const VeldraDrive& d, const std::string& name) {
    std::string data = PatternBytes(700000, 99);
    WriteFile(work_ / "w.in", data);
    CommandResult r = RunShell("cp " + Q(work_ / "w.in") + " " + Q(d / name), 120);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(ChecksumOfFile(root_ / name), ChecksumOf(data));
  }

  TempDir root_{"veldra-faults"};
  TempDir work_{"veldra-faults-work"};
};

// The server closes the idle control connection; the next operations succeed.
class IdleTimeoutTest : public FaultTest,
                        public ::testing::WithParamInterface<std::tuple<ServerKind, bool>> {};

TEST_P(IdleTimeoutTest, NextOperationAfterIdleCloseSucceeds) {
  std::string a = PatternBytes(300000, 1), b = PatternBytes(400000, 2);
  WriteFile(root_ / "a.bin", a);
  WriteFile(root_ / "b.bin", b);
  ServerOptions so;
  so.idleTimeoutSeconds = 2;
  auto server = StartServer(std::get<0>(GetParam()), root_.Path(), so);
  auto drive = Mount(*server, std::get<1>(GetParam()));
  ExpectReads(*drive, "a.bin", a);
  std::this_thread::sleep_for(std::chrono::seconds(5));  // the server hangs up meanwhile
  ExpectReads(*drive, "b.bin", b);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ExpectWriteWorks(*drive, "new.bin");
  std::this_thread::sleep_for(std::chrono::seconds(5));
  CommandResult ls = RunShell("ls " + Q(drive->MountPoint()));
  EXPECT_EQ(ls.status, 0) << ls.output;
  EXPECT_NE(ls.output.find("new.bin"), std::string::npos);
  EXPECT_EQ(drive->Unmount().status, 0);
  DumpLog(*server);
}

INSTANTIATE_TEST_SUITE_P(Servers, IdleTimeoutTest,
                         ::testing::Combine(::testing::Values(ServerKind::Pyftpdlib,
                                                              ServerKind::Vsftpd,
                                                              ServerKind::Proftpd),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(KindName(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "_passive" : "_active");
                         });

// The server restarts (every session killed) while the drive is mounted, even with a read
// transfer left open.
class RestartTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RestartTest, ServerRestartWhileMounted) {
  std::string a = PatternBytes(3000000, 3), b = PatternBytes(500000, 4);
  WriteFile(root_ / "a.bin", a);
  WriteFile(root_ / "b.bin", b);
  auto server = StartVsftpd(root_.Path());
  auto drive = Mount(*server, GetParam());
  // Read only the start: the drive keeps the transfer open for a following read.
  CommandResult head =
      RunShell("dd if=" + Q(*drive / "a.bin") + " bs=65536 count=1 status=none | wc -c");
  ASSERT_EQ(head.status, 0) << head.output;
  server->Restart();
  CommandResult tail = RunShell("dd if=" + Q(*drive / "a.bin") +
                                " bs=65536 skip=20 count=4 status=none > " + Q(work_ / "tail.out"));
  ASSERT_EQ(tail.status, 0) << tail.output;
  EXPECT_EQ(ReadFile(work_ / "tail.out"), a.substr(20 * 65536, 4 * 65536));
  ExpectReads(*drive, "b.bin", b);
  ExpectReads(*drive, "a.bin", a);
  server->Restart();
  ExpectWriteWorks(*drive, "after-restart.bin");
  EXPECT_EQ(drive->Unmount().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, RestartTest, ::testing::Values(true, false), ModeName);

// The data connection is reset in the middle of a read: the reader must not get wrong or
// missing bytes reported as success, and the next read of the file returns correct bytes.
class ResetTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ResetTest, DataConnectionResetMidRead) {
  std::string data = PatternBytes(8 * 1024 * 1024, 5);
  WriteFile(root_ / "reset-once.bin", data);
  ServerOptions so;
  so.faults = true;
  auto server = StartPyftpdlib(root_.Path(), so);
  auto drive = Mount(*server, GetParam());
  CommandResult first = CatOut(*drive / "reset-once.bin", work_ / "first.out");
  ASSERT_FALSE(first.timedOut);
  if (first.status == 0)
    EXPECT_EQ(ChecksumOfFile(work_ / "first.out"), ChecksumOf(data))
        << "the reset read claimed success with wrong bytes (" << FileSize(work_ / "first.out")
        << " of " << data.size() << ")";
  else
    EXPECT_LT(FileSize(work_ / "first.out"), data.size());
  std::printf("reset mid-read: first reader %s\n",
              first.status == 0 ? "got every byte (the drive re-fetched)" : "got an error");
  ExpectReads(*drive, "reset-once.bin", data);
  EXPECT_EQ(drive->Unmount().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, ResetTest, ::testing::Bool(), ModeName);

// A reader pauses longer than the server's data-connection time-out, then reads on.
class PausedReaderTest : public FaultTest, public ::testing::WithParamInterface<ServerKind> {};

TEST_P(PausedReaderTest, ReadsOnAfterTheServerDroppedTheTransfer) {
  std::string data = PatternBytes(32 * 1024 * 1024, 6);
  WriteFile(root_ / "pause.bin", data);
  ServerOptions so;
  so.dataTimeoutSeconds = 2;
  so.idleTimeoutSeconds = 3;
  auto server = StartServer(GetParam(), root_.Path(), so);
  auto drive = Mount(*server);
  CommandResult r = RunShell("{ dd bs=65536 count=2 status=none; sleep 6; cat; } < " +
                                 Q(*drive / "pause.bin") + " > " + Q(work_ / "pause.out"),
                             180);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(FileSize(work_ / "pause.out"), data.size());
  EXPECT_EQ(ChecksumOfFile(work_ / "pause.out"), ChecksumOf(data));
  EXPECT_EQ(drive->Unmount().status, 0);
  DumpLog(*server);
}

INSTANTIATE_TEST_SUITE_P(Servers, PausedReaderTest,
                         ::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

// A command that clashes with a transfer still running (a read of a 5 GiB file left open
// after its first bytes) aborts it; the command must then succeed, in either mode.
class AbortRunningTransferTest
    : public FaultTest,
      public ::testing::WithParamInterface<std::tuple<ServerKind, bool>> {};

TEST_P(AbortRunningTransferTest, NextCommandSucceeds) {
  MakeSparseFile(root_ / "big.bin", 5ULL << 30, (4ULL << 30) + 4097, "MARK");
  auto server = StartServer(std::get<0>(GetParam()), root_.Path());
  auto drive = Mount(*server, std::get<1>(GetParam()));
  for (int round = 0; round < 2; ++round) {
    CommandResult r =
        RunShell("dd if=" + Q(*drive / "big.bin") + " bs=4 count=1 iflag=skip_bytes skip=" +
                 std::to_string((4ULL << 30) + 4097) + " status=none");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "MARK");
    ExpectWriteWorks(*drive, "after-abort-" + std::to_string(round) + ".bin");
  }
  EXPECT_EQ(drive->Unmount().status, 0);
}

std::string KindModeName(const ::testing::TestParamInfo<std::tuple<ServerKind, bool>>& info) {
  std::string n = KindName(std::get<0>(info.param));
  n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
  return n + (std::get<1>(info.param) ? "_passive" : "_active");
}

INSTANTIATE_TEST_SUITE_P(Servers, AbortRunningTransferTest,
                         ::testing::Values(std::make_tuple(ServerKind::Pyftpdlib, true),
                                           std::make_tuple(ServerKind::Pyftpdlib, false),
                                           std::make_tuple(ServerKind::Vsftpd, true),
                                           std::make_tuple(ServerKind::Vsftpd, false),
                                           std::make_tuple(ServerKind::PureFtpd, true),
                                           std::make_tuple(ServerKind::PureFtpd, false),
                                           std::make_tuple(ServerKind::Proftpd, true),
                                           std::make_tuple(ServerKind::Proftpd, false)),
                         KindModeName);

// The server refuses an upload when it completes (552, a full disk or quota): cp fails,
// nothing claims success, and the drive goes on working.
TEST_F(FaultTest, UploadRefusedAtCompletion) {
  ServerOptions so;
  so.faults = true;
  auto server = StartPyftpdlib(root_.Path(), so);
  auto drive = Mount(*server);
  std::string data = PatternBytes(600000, 7);
  WriteFile(work_ / "in.bin", data);
  CommandResult cp = RunShell("cp " + Q(work_ / "in.bin") + " " + Q(*drive / "quota-cp.bin"), 120);
  EXPECT_NE(cp.status, 0) << "cp reported success although the server refused the file";
  CommandResult dd = RunShell("dd if=" + Q(work_ / "in.bin") + " of=" + Q(*drive / "quota-dd.bin") +
                                  " bs=65536 conv=fsync status=none",
                              120);
  EXPECT_NE(dd.status, 0) << "dd conv=fsync reported success although the server refused the file";
  EXPECT_FALSE(Exists(root_ / "quota-cp.bin"));
  ExpectWriteWorks(*drive, "fine.bin");
  EXPECT_EQ(drive->Unmount().status, 0);
}

// The server stops sending in the middle of a transfer: the reader gets an error (or the
// correct bytes) within the drive's time-out, and other requests proceed afterwards.
class StallTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StallTest, ServerStopsSendingMidTransfer) {
  std::string data = PatternBytes(4 * 1024 * 1024, 8), other = PatternBytes(100000, 9);
  WriteFile(root_ / "stall-once.bin", data);
  WriteFile(root_ / "other.bin", other);
  ServerOptions so;
  so.faults = true;
  so.stallSeconds = 100;
  auto server = StartPyftpdlib(root_.Path(), so);
  auto drive = Mount(*server, GetParam());
  auto t0 = Clock::now();
  CommandResult first = CatOut(*drive / "stall-once.bin", work_ / "first.out", 150);
  double took = SecondsSince(t0);
  ASSERT_FALSE(first.timedOut) << "the stalled read did not end within 150 s";
  if (first.status == 0) {
    EXPECT_EQ(ChecksumOfFile(work_ / "first.out"), ChecksumOf(data))
        << "the stalled read claimed success with wrong bytes";
  }
  std::printf("stalled transfer: reader %s after %.1f s\n",
              first.status == 0 ? "got every byte" : "got an error", took);
  ExpectReads(*drive, "other.bin", other);
  ExpectReads(*drive, "stall-once.bin", data);
  ExpectWriteWorks(*drive, "after-stall.bin");
  EXPECT_EQ(drive->Unmount().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, StallTest, ::testing::Values(true, false), ModeName);

// Eight processes read eight files at once, and readers of one file at different offsets run
// together: every byte is correct whatever the interleaving.
class ParallelReadersTest : public FaultTest, public ::testing::WithParamInterface<ServerKind> {};

TEST_P(ParallelReadersTest, EveryByteCorrect) {
  std::vector<std::string> files;
  for (int i = 0; i < 8; ++i) {
    files.push_back(PatternBytes(3 * 1024 * 1024 + i * 1111, 20 + i));
    WriteFile(root_ / ("f" + std::to_string(i) + ".bin"), files.back());
  }
  std::string same = PatternBytes(16 * 1024 * 1024, 40);
  WriteFile(root_ / "same.bin", same);
  auto server = StartServer(GetParam(), root_.Path());
  auto drive = Mount(*server);

  std::string script;
  for (int i = 0; i < 8; ++i)
    script += "cp " + Q(*drive / ("f" + std::to_string(i) + ".bin")) + " " +
              Q(work_ / ("o" + std::to_string(i))) + " & ";
  script += "wait";
  CommandResult r = RunShell(script, 240);
  ASSERT_EQ(r.status, 0) << r.output;
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(ChecksumOfFile(work_ / ("o" + std::to_string(i))), ChecksumOf(files[i])) << "f" << i;

  // Two readers of one file at different offsets (64 KiB blocks 0.. and 128..), twice over
  // different regions so the second pair is not served from the page cache.
  for (int round = 0; round < 2; ++round) {
    const int a = round * 64, b = 128 + round * 64;
    CommandResult p = RunShell(
        "dd if=" + Q(*drive / "same.bin") + " bs=65536 skip=" + std::to_string(a) +
            " count=60 of=" + Q(work_ / "sa") + " status=none & dd if=" + Q(*drive / "same.bin") +
            " bs=65536 skip=" + std::to_string(b) + " count=60 of=" + Q(work_ / "sb") +
            " status=none & wait",
        240);
    ASSERT_EQ(p.status, 0) << p.output;
    EXPECT_EQ(ChecksumOfFile(work_ / "sa"), ChecksumOf(same.substr(a * 65536, 60 * 65536)));
    EXPECT_EQ(ChecksumOfFile(work_ / "sb"), ChecksumOf(same.substr(b * 65536, 60 * 65536)));
  }
  EXPECT_EQ(drive->Unmount().status, 0);
}

// Three writers and two readers at once: every uploaded file is complete on the server and
// every read is correct, whatever the interleaving of their transfers.
TEST_P(ParallelReadersTest, WritersAndReadersTogether) {
  std::vector<std::string> in, rd;
  for (int i = 0; i < 3; ++i) {
    in.push_back(PatternBytes(4 * 1024 * 1024 + i * 7777, 60 + i));
    WriteFile(work_ / ("w" + std::to_string(i)), in.back());
  }
  for (int i = 0; i < 2; ++i) {
    rd.push_back(PatternBytes(5 * 1024 * 1024 + i * 333, 70 + i));
    WriteFile(root_ / ("r" + std::to_string(i) + ".bin"), rd.back());
  }
  auto server = StartServer(GetParam(), root_.Path());
  auto drive = Mount(*server);
  std::string script;
  for (int i = 0; i < 3; ++i)
    script += "cp " + Q(work_ / ("w" + std::to_string(i))) + " " +
              Q(*drive / ("w" + std::to_string(i) + ".bin")) + " & ";
  for (int i = 0; i < 2; ++i)
    script += "cp " + Q(*drive / ("r" + std::to_string(i) + ".bin")) + " " +
              Q(work_ / ("r" + std::to_string(i))) + " & ";
  CommandResult r = RunShell(script + "wait", 240);
  ASSERT_EQ(r.status, 0) << r.output;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ChecksumOfFile(root_ / ("w" + std::to_string(i) + ".bin")), ChecksumOf(in[i]))
        << "w" << i;
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(ChecksumOfFile(work_ / ("r" + std::to_string(i))), ChecksumOf(rd[i])) << "r" << i;
  EXPECT_EQ(drive->Unmount().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, ParallelReadersTest,
                         ::testing::Values(ServerKind::Vsftpd, ServerKind::Pyftpdlib),
                         [](const auto& info) { return std::string(KindName(info.param)); });

// A copy into the drive followed at once by the unmount command: the server has every byte.
TEST_F(FaultTest, UnmountRightAfterCopyKeepsTheFile) {
  std::string data = PatternBytes(20 * 1024 * 1024, 11);
  WriteFile(work_ / "big.in", data);
  auto server = StartVsftpd(root_.Path());
  auto drive = Mount(*server);
  CommandResult r = RunShell("cp " + Q(work_ / "big.in") + " " + Q(*drive / "big.bin") + " && " +
                                 Q(VELDRA_EXECUTABLE) + " Y: /delete",
                             180);
  ASSERT_EQ(r.status, 0) << r.output;
  drive->Unmount();  // waits until the serving copy has ended
  ASSERT_TRUE(Exists(root_ / "big.bin"));
  EXPECT_EQ(FileSize(root_ / "big.bin"), data.size());
  EXPECT_EQ(ChecksumOfFile(root_ / "big.bin"), ChecksumOf(data));
}

}  // namespace
}  // namespace veldra::test
