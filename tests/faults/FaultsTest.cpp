// Faults under a drive mounted by the veldra command. Real servers give the time-outs,
// restarts, resets, stalls and crowds of programs; a server of our own gives the hostile
// replies no real server gives on demand. Every case is bounded, checks what programs got
// against what the server holds, and ends with the drive still working.
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

const auto Q = ShellQuote;

// Drive Y on 127.0.0.1:port (password "secret": the real servers' and our own server's).
std::unique_ptr<VeldraDrive> Mount(int port, const std::string& user, bool passive = true,
                                   std::vector<std::string> extra = {}) {
  DriveOptions o;
  o.letter = 'y';
  o.port = port;
  o.user = user;
  o.passive = passive;
  o.extra = std::move(extra);
  return std::make_unique<VeldraDrive>(kVeldra, o);
}

// Answers a transfer command with 150 and takes its data connection.
bool Open(ScriptedSession& s) {
  return s.Send("150 Opening.") && s.AcceptData();
}

// Resident memory of the drive's serving process, KiB.
long ServingRssKiB(const VeldraDrive& drive) {
  for (pid_t pid : drive.ServingProcesses()) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// A fault on a real server: a shell script run with M (the drive), R (the server's root), W (a
// work directory) set; a line "restart" in it restarts the server
// (every session killed). `works` checks that a write through the drive arrives whole and is
// listed.
struct Fault {
  const char* name;
  const char* servers;  // names of the servers it runs on
  bool bothModes;       // passive and active, or passive only
  std::function<void(ServerOptions&)> options;
  const char* setup;  // before the server starts
  const char* script;
};

const Fault kFaults[] = {
    // A reader pauses past the data time-out, then the drive idles past the control time-out:
    // the transfer is taken up again, and the next read and write reconnect.
    {"Timeouts", "pyftpdlib vsftpd proftpd", true,
     [](ServerOptions& o) { o.dataTimeoutSeconds = 2, o.idleTimeoutSeconds = 3; },
     R"(head -c 32M /dev/urandom >"$R/big.bin"; head -c 300000 /dev/urandom >"$R/a.bin")",
     R"({ dd bs=65536 count=2 status=none; sleep 5; cat; } <"$M/big.bin" >"$W/big"
cmp "$W/big" "$R/big.bin"; sleep 4; cmp "$M/a.bin" "$R/a.bin"; sleep 4; works)"},
    // Every session killed twice, the first time with a read transfer left open.
    {"Restart", "vsftpd", true, nullptr,
     R"(head -c 3M /dev/urandom >"$R/a.bin"; head -c 500000 /dev/urandom >"$R/b.bin")",
     R"(dd if="$M/a.bin" bs=65536 count=1 status=none | wc -c
restart
dd if="$M/a.bin" bs=65536 skip=20 count=4 status=none >"$W/t"
dd if="$R/a.bin" bs=65536 skip=20 count=4 status=none | cmp - "$W/t"
cmp "$M/b.bin" "$R/b.bin"; cmp "$M/a.bin" "$R/a.bin"
restart
works)"},
    // The data connection is reset, or the server stops sending, in the middle of a read: the
    // reader gets every byte or an error in bounded time, never short data, and reads again.
    {"ResetAndStall", "pyftpdlib", true,
     [](ServerOptions& o) { o.faults = true, o.stallSeconds = 100; },
     R"(head -c 8M /dev/urandom >"$R/reset-once.bin"; head -c 4M /dev/urandom >"$R/stall-once.bin")",
     R"(for f in reset-once.bin stall-once.bin; do
  if timeout 150 cat "$M/$f" >"$W/x"; then cmp "$W/x" "$R/$f"; else [ $? != 124 ]; fi
  cmp "$M/$f" "$R/$f"; done; works)"},
    // Eight readers, four writers and two readers of one file at different offsets at once;
    // vsftpd takes two connections from us and refuses more with 421 (pyftpdlib takes any).
    {"ManyPrograms", "vsftpd pyftpdlib", false, [](ServerOptions& o) { o.maxPerIp = 2; },
     R"(for i in 0 1 2 3 4 5 6 7; do head -c $((3000000 + i * 1111)) /dev/urandom >"$R/r$i"; done
for i in 0 1 2 3; do head -c $((2000000 + i * 999)) /dev/urandom >"$W/w$i"; done
head -c 16M /dev/urandom >"$R/same.bin")",
     R"(p=; for i in 0 1 2 3 4 5 6 7; do cp "$M/r$i" "$W/r$i" & p="$p $!"; done
for i in 0 1 2 3; do cp "$W/w$i" "$M/w$i" & p="$p $!"; done
for o in 0 128; do dd if="$M/same.bin" bs=65536 skip=$o count=60 of="$W/s$o" status=none & p="$p $!"; done
for x in $p; do wait $x; done
for i in 0 1 2 3 4 5 6 7; do cmp "$W/r$i" "$R/r$i"; done; for i in 0 1 2 3; do cmp "$W/w$i" "$R/w$i"; done
for o in 0 128; do dd if="$R/same.bin" bs=65536 skip=$o count=60 status=none | cmp - "$W/s$o"; done
works)"},
};

struct Case {
  const Fault* fault;
  ServerKind kind;
  bool passive;
};

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const Fault& f : kFaults)
    for (ServerKind kind :
         {ServerKind::Pyftpdlib, ServerKind::Vsftpd, ServerKind::PureFtpd, ServerKind::Proftpd})
      for (bool passive : {true, false})
        if (std::string(f.servers).find(KindName(kind)) != std::string::npos &&
            (passive || f.bothModes))
          cases.push_back({&f, kind, passive});
  return cases;
}

class RealServerFault : public ::testing::TestWithParam<Case> {};

TEST_P(RealServerFault, EveryByteOrAnErrorAndTheDriveGoesOn) {
  const Case c = GetParam();
  TempDir root("veldra-faults"), work("veldra-faults-work");
  std::string vars = "set -eux\nR=" + Q(root.Path()) + " W=" + Q(work.Path()) + "\n";
  const CommandResult setup =
      RunShell(vars + "head -c 700000 /dev/urandom >\"$W/w.in\"\n" + c.fault->setup, 60);
  ASSERT_EQ(setup.status, 0) << setup.output;
  ServerOptions options;
  if (c.fault->options) c.fault->options(options);
  auto server = StartServer(c.kind, root.Path(), options);
  auto drive = Mount(server->Port(), server->User(), c.passive);
  vars += "M=" + Q(drive->MountPoint()) +
          "\nworks() { cp \"$W/w.in\" \"$M/after.bin\"; cmp \"$R/after.bin\" \"$W/w.in\"; "
          "ls \"$M\" | grep -qx after.bin; }\n";
  for (std::string rest = c.fault->script;;) {
    const size_t cut = rest.find("\nrestart\n");
    const CommandResult r = RunShell(vars + rest.substr(0, cut), 300);
    ASSERT_EQ(r.status, 0) << (r.timedOut ? "timed out: " : "") << r.output;
    if (cut == std::string::npos) break;
    server->Restart();
    rest.erase(0, cut + 9);
  }
  EXPECT_EQ(drive->Unmount().status, 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerFault, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string n = KindName(info.param.kind);
                           n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                           return std::string(info.param.fault->name) + "_" + n +
                                  (info.param.passive ? "_passive" : "_active");
                         });

// Hostile servers: each row gives a hook and the program run against it, which must fail (not
// hang, not succeed with wrong data) with the error given, in bounded memory, and the drive
// must go on answering from its cache.
TEST(HostileServer, BoundedFailuresAndTheDriveGoesOn) {
  struct Row {
    const char* name;
    FakeFtp::Hook hook;
    std::string command;  // run with the mount point as $M
    const char* error;
  } rows[] = {
      {"endless listing",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd != "MLSD /deep/endless/") return false;
         Open(s);
         std::string chunk;
         for (long i = 0; i < 1000; ++i)
           chunk += "type=file;size=1;modify=20200102030405; f" + std::to_string(i) + "\r\n";
         while (s.SendData(chunk)) {
         }
         return true;
       },
       "ls $M/deep/endless", ""},
      {"endless reply",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd.compare(0, 3, "MKD") != 0) return false;
         while (s.Send("257-and so on, and so on")) {
         }
         return true;
       },
       "mkdir $M/d", ""},
      {"trickling reply",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd.compare(0, 4, "DELE") != 0) return false;
         for (char c : std::string("250 Deleted, eventually.\r\n")) {
           if (!s.SendRaw(std::string(1, c)) || s.ClientClosed()) break;
           std::this_thread::sleep_for(std::chrono::seconds(3));
         }
         return true;
       },
       "rm $M/ok.txt", ""},
      {"transfer that opens and closes at once",
       [](ScriptedSession& s, const std::string& cmd) {
         if (cmd != "RETR /big.bin") return false;
         Open(s);
         s.CloseData();
         return s.Send("226 Transfer complete.");
       },
       "cat $M/big.bin > /dev/null", "Input/output error"},
      {"passive reply naming the control port",
       [](ScriptedSession& s, const std::string& cmd) {
         const int port = s.Server().Port();
         return cmd == "PASV" &&
                s.Send("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                       std::to_string(port % 256) + ").");
       },
       // Past the age (2 s) of the endpoints the pool's sessions asked for before the hook.
       "sleep 3 && cat $M/big.bin > /dev/null", ""},
  };
  for (const Row& row : rows) {
    FakeFtp ftp;
    ftp.OfferMlsd(true);
    ftp.Put("/ok.txt", "fine");
    ftp.Put("/deep/endless/.keep", "");  // two levels down: not listed ahead of the walk
    ftp.Put("/big.bin", PatternBytes(2000000, 5));
    // Listings stay cached for the whole row: what needs no server must be answered at once.
    auto drive = Mount(ftp.Port(), "user", true, {"/CACHE:600"});
    const std::string m = drive->MountPoint();
    CommandResult warm = RunShell("ls -l " + Q(m) + " && cat " + Q(m + "/ok.txt"), 30);
    ASSERT_EQ(warm.status, 0) << row.name << ": " << warm.output;
    ftp.SetHook(row.hook);
    CommandResult r = RunShell("M=" + Q(m) + "; " + row.command, 150);
    EXPECT_FALSE(r.timedOut) << row.name;
    EXPECT_NE(r.status, 0) << row.name << ": " << r.output;
    EXPECT_NE(r.output.find(row.error), std::string::npos) << row.name << ": " << r.output;
    CommandResult after = RunShell("ls -l " + Q(m) + " && stat " + Q(m + "/ok.txt"), 30);
    EXPECT_EQ(after.status, 0) << row.name << ": " << after.output;
    EXPECT_LT(ServingRssKiB(*drive), 400 * 1024) << row.name;
    EXPECT_EQ(drive->Unmount().status, 0) << row.name;
  }
}

// A transfer the server keeps trickling holds nothing else up (a fresh listing and a read go
// on other sessions meanwhile), and its reader can be killed: the drive gives the request up.
TEST(HostileServer, AStuckTransferHoldsNothingUpAndItsReaderCanBeKilled) {
  FakeFtp ftp;
  ftp.Put("/ok.txt", "fine");
  ftp.Put("/slow.bin", PatternBytes(1000000, 6));
  ftp.SetHook([](ScriptedSession& s, const std::string& cmd) {
    if (cmd != "RETR /slow.bin") return false;
    Open(s);
    for (int i = 0; i < 60 && s.SendData("x") && !s.ClientClosed(); ++i)
      std::this_thread::sleep_for(std::chrono::seconds(1));
    return true;
  });
  auto drive = Mount(ftp.Port(), "user", true, {"/CACHE:0"});  // every listing asks the server
  const pid_t reader = ::fork();
  if (reader == 0) {
    ::execl("/bin/cat", "cat", (*drive / "slow.bin").c_str(), nullptr);
    ::_exit(127);
  }
  EXPECT_TRUE(WaitUntil([&] { return CountPrefix(ftp.Commands(), "RETR /slow.bin") > 0; }, 20000));
  ftp.Put("/d/new.txt", "new");  // only a listing made now shows it
  CommandResult other = RunShell("ls " + Q(*drive / "d") + " && cat " + Q(*drive / "ok.txt"), 20);
  EXPECT_EQ(other.output, "new.txt\nfine");
  EXPECT_EQ(::waitpid(reader, nullptr, WNOHANG), 0) << "the reader was not stuck";
  ::kill(reader, SIGKILL);
  EXPECT_TRUE(WaitUntil([&] { return ::waitpid(reader, nullptr, WNOHANG) == reader; }, 15000))
      << "the killed reader is still waiting in the drive";
  EXPECT_EQ(drive->Unmount().status, 0);
  ::waitpid(reader, nullptr, 0);  // gone at the latest with the (forced) unmount
}

// A directory of 200,000 names is listed in bounded memory, and listing it again and again
// (the listing lives one second) does not make the process grow.
TEST(HostileServer, AHugeDirectoryInBoundedMemory) {
  FakeFtp ftp;
  ftp.OfferMlsd(true);
  ftp.Put("/huge/.keep", "");
  ftp.SetHook([](ScriptedSession& s, const std::string& cmd) {
    if (cmd != "MLSD /huge/") return false;
    Open(s);
    std::string all;
    for (int i = 0; i < 200000; ++i)
      all += "type=file;size=1234;modify=20200102030405; a-file-name-of-some-length-" +
             std::to_string(i) + ".dat\r\n";
    s.SendData(all);
    s.CloseData();
    return s.Send("226 Done.");
  });
  auto drive = Mount(ftp.Port(), "user", true, {"/CACHE:1"});
  const std::string dir = *drive / "huge";
  CommandResult first = RunShell("ls " + Q(dir) + " | wc -l", 120);
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_EQ(std::stol(first.output), 200000);
  std::vector<long> rss;
  for (int round = 0; round < 5; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the listing expires
    ASSERT_EQ(RunShell("ls " + Q(dir) + " > /dev/null", 120).status, 0);
    // The drive hears of the closed directory (and hands its copy back) only after ls has
    // gone: the settled size is the lowest of the next second.
    long settled = ServingRssKiB(*drive);
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      settled = std::min(settled, ServingRssKiB(*drive));
    }
    rss.push_back(settled);
  }
#ifndef __SANITIZE_ADDRESS__  // its shadow memory and quarantine dwarf what is measured here
  EXPECT_LT(*std::max_element(rss.begin(), rss.end()), 100 * 1024);
  EXPECT_LT(rss.back() - rss[1], 8 * 1024);
#endif
  EXPECT_EQ(drive->Unmount().status, 0);
}

// Writes out of order are spooled. Past the spool's limit a write fails with ENOSPC and nothing
// is lost. An upload the server refuses fails cp, dd conv=fsync and the close of a spooled
// file, and leaves the server's original as it was; a later close sends the kept content. A
// spooled file still open when the drive is unmounted arrives at its close.
TEST(Spool, LimitRefusalAndUnmount) {
  TempDir work("veldra-faults-work");
  WriteFile(work / "in.bin", PatternBytes(600000, 7));
  FakeFtp ftp;
  ftp.OfferMlsd(true);
  const std::string big = PatternBytes(2000000, 1);
  std::string f = PatternBytes(500000, 2);
  ftp.Put("/big.bin", big);
  ftp.Put("/f.bin", f);
  auto drive = Mount(ftp.Port(), "user", true, {"/SPOOL:1"});  // 1 MiB: f.bin fits, big.bin not
  const auto poke = [&](const std::string& name) {             // an 'x' at offset 10
    const std::string dd = " | dd bs=1 seek=10 conv=notrunc status=none of=";
    return RunShell("printf x" + dd + Q(*drive / name), 60).output;
  };
  EXPECT_NE(poke("big.bin").find("No space left"), std::string::npos);
  EXPECT_EQ(ftp.Get("/big.bin"), big);
  ftp.SetCompletionReply("552 Quota exceeded.");
  for (const std::string& refused :
       {"cp " + Q(work / "in.bin") + " " + Q(*drive / "cp.bin"),
        "dd if=" + Q(work / "in.bin") + " of=" + Q(*drive / "dd.bin") + " bs=64K conv=fsync"}) {
    EXPECT_NE(RunShell(refused, 60).status, 0) << refused;
  }
  EXPECT_NE(poke("f.bin").find("quota"), std::string::npos);
  EXPECT_FALSE(ftp.Has("/cp.bin"));
  EXPECT_EQ(ftp.Get("/f.bin"), f);
  ftp.SetCompletionReply("226 Transfer complete.");
  EXPECT_EQ(RunShell("cat " + Q(*drive / "f.bin") + " > /dev/null", 60).status, 0);
  f[10] = 'x';
  EXPECT_EQ(ftp.Get("/f.bin"), f);
  // The writer keeps the file open until the unmount has detached the drive (bounded wait).
  const std::string m = Q(drive->MountPoint());
  std::thread writer([&] {
    RunShell("exec 3<>" + m + "/f.bin; printf y | dd bs=1 seek=20 conv=notrunc status=none >&3; " +
                 "touch " + Q(work / "written") + "; i=0; while mountpoint -q " + m +
                 " && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done; exec 3>&-",
             60);
  });
  EXPECT_TRUE(WaitUntil([&] { return Exists(work / "written"); }, 20000));
  EXPECT_EQ(drive->Unmount().status, 0);
  writer.join();
  f[20] = 'y';
  EXPECT_TRUE(WaitUntil([&] { return ftp.Get("/f.bin") == f; }, 10000));
}

}  // namespace
}  // namespace veldra::test
