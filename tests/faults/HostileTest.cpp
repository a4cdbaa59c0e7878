// A drive mounted on servers that misbehave on purpose (a server of our own) and on real
// servers under many programs at once: every case is bounded, ends with the drive still
// answering, and checks what programs got against what the server holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FakeFtp.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace veldra::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string Q(const std::string& s) {
  return ShellQuote(s);
}

std::unique_ptr<VeldraDrive> MountOn(int port, const std::string& user, const std::string& password,
                                     std::vector<std::string> extra = {}) {
  DriveOptions o;
  o.letter = 'y';
  o.port = port;
  o.user = user;
  o.password = password;
  o.extra = std::move(extra);
  return std::make_unique<VeldraDrive>(VELDRA_EXECUTABLE, o);
}

// Resident memory of the drive's serving process, KiB.
long ServingRssKiB(const VeldraDrive& drive) {
  for (pid_t pid : drive.ServingProcesses()) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Sends text one byte every `gapMs`, unless the client leaves first.
void Trickle(ScriptedSession& s, const std::string& text, int gapMs) {
  for (char c : text) {
    if (!s.SendRaw(std::string(1, c)) || s.ClientClosed()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  }
}

// Hostile servers: each row gives a hook, the program run against it (which must fail, not
// hang and not succeed with wrong data), and the drive must go on answering from its cache.
TEST(HostileServer, BoundedFailuresAndTheDriveGoesOn) {
  struct Row {
    const char* name;
    FakeFtp::Hook hook;
    std::string command;  // run with the mount point as $M
  } rows[] = {
      {"endless listing",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd != "MLSD /endless/") return false;
         s.Send("150 Here it comes, for ever.");
         s.AcceptData();
         std::string chunk;
         for (long i = 0; i < 1000; ++i)
           chunk += "type=file;size=1;modify=20200102030405; f" + std::to_string(i) + "\r\n";
         while (s.SendData(chunk)) {
         }
         return true;
       },
       "ls $M/endless"},
      {"endless reply",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd.compare(0, 3, "MKD") != 0) return false;
         while (s.Send("257-and so on, and so on")) {
         }
         return true;
       },
       "mkdir $M/d"},
      {"trickling reply",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd.compare(0, 4, "DELE") != 0) return false;
         Trickle(s, "250 Deleted, eventually.\r\n", 3000);
         return true;
       },
       "rm $M/ok.txt"},
      {"transfer that opens and closes at once",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd != "RETR /big.bin") return false;
         s.Send("150 Opening.");
         s.AcceptData();
         s.CloseData();
         s.Send("226 Transfer complete.");
         return true;
       },
       "cat $M/big.bin > /dev/null"},
      {"passive reply naming the control port",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd != "PASV") return false;
         const int port = s.Server().Port();
         s.Send("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                std::to_string(port % 256) + ").");
         return true;
       },
       "cat $M/big.bin > /dev/null"},
  };
  for (const Row& row : rows) {
    FakeFtp ftp;
    ftp.OfferMlsd(true);
    ftp.Put("/ok.txt", "fine");
    ftp.Put("/endless/.keep", "");
    ftp.Put("/big.bin", PatternBytes(2000000, 5));
    // Listings stay cached for the whole row: what needs no server must be answered at once.
    auto drive = MountOn(ftp.Port(), "user", "secret", {"/CACHE:600"});
    const std::string m = drive->MountPoint();
    CommandResult warm = RunShell("ls -l " + Q(m) + " && cat " + Q(m + "/ok.txt"), 30);
    ASSERT_EQ(warm.status, 0) << row.name << ": " << warm.output;
    ftp.SetHook(row.hook);
    const Clock::time_point start = Clock::now();
    CommandResult r = RunShell("M=" + Q(m) + "; " + row.command, 150);
    EXPECT_FALSE(r.timedOut) << row.name;
    EXPECT_NE(r.status, 0) << row.name << ": " << r.output;
    // Cached metadata still answers, and memory stayed bounded.
    CommandResult after = RunShell("ls -l " + Q(m) + " && stat " + Q(m + "/ok.txt"), 30);
    EXPECT_EQ(after.status, 0) << row.name << ": " << after.output;
    const long rss = ServingRssKiB(*drive);
    EXPECT_LT(rss, 400 * 1024) << row.name;
    ftp.SetHook(nullptr);
    EXPECT_EQ(drive->Unmount().status, 0) << row.name;
    std::printf("  %-40s failed as it should in %.1f s, %ld KiB resident\n", row.name,
                std::chrono::duration<double>(Clock::now() - start).count(), rss);
  }
}

// A program stuck on a server that trickles data can be killed (the drive gives up the request
// it was waiting in), and others go on meanwhile.
TEST(HostileServer, AProgramWaitingOnAStuckServerCanBeKilled) {
  FakeFtp ftp;
  ftp.Put("/ok.txt", "fine");
  ftp.Put("/slow.bin", PatternBytes(1000000, 6));
  ftp.SetHook([](ScriptedSession& s, const std::string& cmd) {
    if (cmd != "RETR /slow.bin") return false;
    s.Send("150 Opening.");
    s.AcceptData();
    for (int i = 0; i < 60 && s.SendData("x"); ++i)
      std::this_thread::sleep_for(std::chrono::seconds(1));
    return true;
  });
  auto drive = MountOn(ftp.Port(), "user", "secret");
  const pid_t reader = ::fork();
  if (reader == 0) {
    ::execl("/bin/cat", "cat", (drive->MountPoint() + "/slow.bin").c_str(), nullptr);
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  CommandResult other = RunShell("cat " + Q(drive->MountPoint() + "/ok.txt"), 30);
  EXPECT_EQ(other.output, "fine");
  ::kill(reader, SIGKILL);
  const Clock::time_point killed = Clock::now();
  int status = 0;
  bool gone = false;
  while (!gone && Clock::now() - killed < std::chrono::seconds(15)) {
    gone = ::waitpid(reader, &status, WNOHANG) == reader;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(gone) << "the killed reader is still waiting in the drive";
  if (!gone) ::waitpid(reader, &status, 0);
  EXPECT_EQ(drive->Unmount().status, 0);
}

// A directory of 200,000 names: listed within bounded memory, and listing it again does not
// make the process grow.
TEST(HostileServer, AHugeDirectoryInBoundedMemory) {
  FakeFtp ftp;
  ftp.OfferMlsd(true);
  ftp.Put("/huge/.keep", "");
  ftp.SetHook([](ScriptedSession& s, const std::string& cmd) {
    if (cmd != "MLSD /huge/") return false;
    s.Send("150 Listing.");
    s.AcceptData();
    std::string chunk;
    for (int i = 0; i < 200000; ++i) {
      chunk += "type=file;size=1234;modify=20200102030405; a-file-name-of-some-length-" +
               std::to_string(i) + ".dat\r\n";
      if (chunk.size() > 65536) {
        s.SendData(chunk);
        chunk.clear();
      }
    }
    s.SendData(chunk);
    s.CloseData();
    s.Send("226 Done.");
    return true;
  });
  auto drive = MountOn(ftp.Port(), "user", "secret", {"/CACHE:1"});
  const std::string dir = drive->MountPoint() + "/huge";
  const long before = ServingRssKiB(*drive);
  CommandResult first = RunShell("ls " + Q(dir) + " | wc -l", 120);
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_EQ(std::stol(first.output), 200000);
  const long once = ServingRssKiB(*drive);
  // Listed again and again (the listing lives one second): the process settles, it does not
  // grow with every listing.
  std::vector<long> rounds;
  for (int round = 0; round < 6; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(RunShell("ls " + Q(dir) + " > /dev/null", 120).status, 0);
    rounds.push_back(ServingRssKiB(*drive));
  }
  std::printf(
      "  resident: %ld KiB before, %ld after one listing, %ld after three, %ld after seven\n",
      before, once, rounds[1], rounds.back());
  EXPECT_LT(*std::max_element(rounds.begin(), rounds.end()), 100 * 1024);
  EXPECT_LT(rounds.back() - rounds[1], 8 * 1024);
  EXPECT_EQ(drive->Unmount().status, 0);
}

// Files written out of order are spooled: past the spool's limit a write fails and nothing
// is lost; an upload the server refuses fails the close and leaves the server's original as
// it was, and a later close sends it; a spooled file left open over the unmount still arrives.
TEST(Spool, LimitRefusalAndUnmount) {
  FakeFtp ftp;
  ftp.OfferMlsd(true);
  const std::string original = PatternBytes(2000000, 1);
  ftp.Put("/f.bin", original);
  std::string changed = original;
  changed.replace(10, 1, "x");
  const std::string poke = " bs=1 seek=10 conv=notrunc status=none";
  {
    auto drive = MountOn(ftp.Port(), "user", "secret", {"/SPOOL:1"});  // 1 MiB: too small
    CommandResult r = RunShell("printf x | dd of=" + Q(*drive / "f.bin") + poke, 60);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("No space left"), std::string::npos) << r.output;
    EXPECT_EQ(ftp.Get("/f.bin"), original);
    EXPECT_EQ(drive->Unmount().status, 0);
  }
  auto drive = MountOn(ftp.Port(), "user", "secret");
  ftp.SetCompletionReply("552 Quota exceeded.");
  CommandResult r = RunShell("printf x | dd of=" + Q(*drive / "f.bin") + poke, 60);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("quota"), std::string::npos) << r.output;
  EXPECT_EQ(ftp.Get("/f.bin"), original);
  ftp.SetCompletionReply("226 Transfer complete.");
  EXPECT_EQ(RunShell("cat " + Q(*drive / "f.bin") + " > /dev/null", 60).status, 0);
  EXPECT_EQ(ftp.Get("/f.bin"), changed);  // the kept content went at the next close
  // Written out of order and still open when the drive is unmounted: it arrives at its close.
  const std::string script = "exec 3<>" + Q(*drive / "f.bin") +
                             " && printf y | dd bs=1 seek=20 conv=notrunc status=none >&3 && "
                             "sleep 3 && exec 3>&-";
  std::thread writer([&] { RunShell(script, 60); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(drive->Unmount().status, 0);
  writer.join();
  changed.replace(20, 1, "y");
  for (int i = 0; i < 50 && ftp.Get("/f.bin") != changed; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ftp.Get("/f.bin"), changed);
}

// Many programs at once on real servers, one of which takes only two connections from us: the
// drive makes do with what it is given, and every byte arrives.
TEST(ManyPrograms, EightReadersAndFourWritersAtOnce) {
  for (int maxPerIp : {0, 2}) {
    for (ServerKind kind : {ServerKind::Vsftpd, ServerKind::Pyftpdlib}) {
      if (maxPerIp > 0 && kind != ServerKind::Vsftpd) continue;
      TempDir root("veldra-many");
      TempDir work("veldra-many-work");
      std::vector<std::string> in, out;
      std::string script;
      for (int i = 0; i < 8; ++i) {
        out.push_back(PatternBytes(3 * 1024 * 1024 + i * 1001, 80 + i));
        WriteFile(root / ("r" + std::to_string(i)), out.back());
      }
      ServerOptions so;
      so.maxPerIp = maxPerIp;
      auto server = StartServer(kind, root.Path(), so);
      auto drive = MountOn(server->Port(), server->User(), server->Password());
      for (int i = 0; i < 4; ++i) {
        in.push_back(PatternBytes(2 * 1024 * 1024 + i * 999, 90 + i));
        WriteFile(work / ("w" + std::to_string(i)), in.back());
        script += "cp " + Q(work / ("w" + std::to_string(i))) + " " +
                  Q(*drive / ("w" + std::to_string(i))) + " & ";
      }
      for (int i = 0; i < 8; ++i)
        script += "cp " + Q(*drive / ("r" + std::to_string(i))) + " " +
                  Q(work / ("r" + std::to_string(i))) + " & ";
      CommandResult r = RunShell(script + "wait", 300);
      ASSERT_EQ(r.status, 0) << server->Name() << " " << maxPerIp << ": " << r.output;
      for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ChecksumOfFile(root / ("w" + std::to_string(i))), ChecksumOf(in[i]))
            << server->Name() << " w" << i;
      for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ChecksumOfFile(work / ("r" + std::to_string(i))), ChecksumOf(out[i]))
            << server->Name() << " r" << i;
      EXPECT_EQ(drive->Unmount().status, 0);
    }
  }
}

// A listed directory is browsed while a long copy runs: the listing does not wait for it.
TEST(ManyPrograms, BrowsingDuringALongCopy) {
  TempDir root("veldra-many");
  WriteFile(root / "big.bin", PatternBytes(16 * 1024 * 1024, 3));
  for (int i = 0; i < 20; ++i) WriteFile(root / ("d/f" + std::to_string(i)), "x");
  ServerOptions so;
  so.maxRate = 2 * 1024 * 1024;  // the copy takes about 8 s
  auto server = StartVsftpd(root.Path(), so);
  auto drive = MountOn(server->Port(), server->User(), server->Password());
  ASSERT_EQ(RunShell("ls -l " + Q(*drive / "d") + " > /dev/null").status, 0);
  const std::string done = root / "copy.done";
  const std::string copy = "cat " + Q(*drive / "big.bin") + " > /dev/null; touch " + Q(done);
  std::thread copier([&] { RunShell(copy, 120); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  CommandResult ls = RunShell("ls -l " + Q(*drive / "d") + " | wc -l", 60);
  const bool copyStillRunning = !Exists(done);
  copier.join();
  EXPECT_EQ(ls.status, 0) << ls.output;
  EXPECT_EQ(std::stol(ls.output), 21);
  EXPECT_TRUE(copyStillRunning) << "the listing waited for the copy";
  EXPECT_EQ(drive->Unmount().status, 0);
}

}  // namespace
}  // namespace veldra::test
