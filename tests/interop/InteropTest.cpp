// The whole drive scenario through a real mount made by the veldra command, against each of
// the four servers, in passive mode and with /NOPASSIVE. Every step runs even when an earlier
// one failed; each run prints one table of results and fails when any step failed.
//
// The server's tree is prepared before the mount (the drive caches listings); what the drive
// changed is checked in the server's root directory itself.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace veldra::test {
namespace {

struct StepFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs a shell command that must succeed; returns its output.
std::string Sh(const std::string& script, int timeoutSeconds = 120) {
  CommandResult r = RunShell(script, timeoutSeconds);
  if (r.status != 0)
    throw StepFailure("`" + script + "` -> status " + std::to_string(r.status) +
                      (r.timedOut ? " (timed out)" : "") + ": " + r.Text().substr(0, 400));
  return r.out;
}

void Check(bool ok, const std::string& what) {
  if (!ok) throw StepFailure(what);
}

void CheckEq(const std::string& got, const std::string& want, const std::string& what) {
  if (got == want) return;
  std::ostringstream m;
  m << what << ": got " << got.size() << " bytes (" << ChecksumOf(got) << ")";
  if (got.size() < 200) m << " '" << got << "'";
  m << ", want " << want.size() << " bytes (" << ChecksumOf(want) << ")";
  if (want.size() < 200) m << " '" << want << "'";
  throw StepFailure(m.str());
}

std::string Q(const std::string& s) {
  return ShellQuote(s);
}

constexpr std::uint64_t kBigSize = 5ULL << 30;
constexpr std::uint64_t kBigMarkAt = (4ULL << 30) + 4097;
const std::string kBigMark = "BEYOND-4GiB";
const std::string kUnicodeName =
    "\xc3\xbcn\xc3\xaf"
    "c\xc3\xb6"
    "d\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt";
const std::string kUnicodeNew = "cr\xc3\xa9\xc3\xa9 \xe2\x9c\x93 \xc3\x9f.txt";
const std::string kUnicodeDir = "r\xc3\xa9pertoire";

struct Param {
  ServerKind kind;
  bool passive;
  char letter;
};

class InteropTest : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    const std::string r = root_.Path();
    read_ = PatternBytes(3 * 1024 * 1024 + 123, 1);
    WriteFile(r + "/read.bin", read_);
    WriteFile(r + "/app.txt", "line1\n");
    WriteFile(r + "/replace.bin", PatternBytes(1024 * 1024, 2));
    WriteFile(r + "/ren.txt", "rename me\n");
    WriteFile(r + "/dirA/inner.txt", "inner\n");
    WriteFile(r + "/dirA/sub/deep.txt", "deep\n");
    WriteFile(r + "/del.txt", "delete me\n");
    WriteFile(r + "/trunc.txt", PatternBytes(100000, 4));
    WriteFile(r + "/trunc2.txt", "x");
    WriteFile(r + "/name with spaces.txt", "spaces\n");
    WriteFile(r + "/dir with spaces/inside file.txt", "inside\n");
    WriteFile(r + "/" + kUnicodeName, "unicode\n");
    WriteFile(r + "/tree/a/b/c.txt", "c\n");
    WriteFile(r + "/tree/a/d.txt", "d\n");
    MakeDirs(r + "/empty");
    for (int i = 0; i < 2000; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/many/f%04d.txt", i);
      WriteFile(r + name, "entry " + std::to_string(i) + "\n");
    }
    MakeSparseFile(r + "/big.bin", kBigSize, kBigMarkAt, kBigMark);
  }

  TempDir root_{"veldra-interop"};
  TempDir work_{"veldra-interop-work"};
  std::string read_;
};

TEST_P(InteropTest, DriveScenario) {
  const Param p = GetParam();
  const std::string R = root_.Path();
  const std::string W = work_.Path();
  auto server = StartServer(p.kind, R);

  DriveOptions o;
  o.letter = p.letter;
  o.port = server->Port();
  o.user = server->User();
  o.password = server->Password();
  o.passive = p.passive;
  auto drive = std::make_unique<VeldraDrive>(VELDRA_EXECUTABLE, o);
  const std::string M = drive->MountPoint();

  using Step = std::pair<std::string, std::function<void()>>;
  std::vector<Step> steps = {
      {"list tree",
       [&] {
         // Names and sizes of the whole tree, as the server has them and as the drive shows them.
         const std::string cmd = " && find . -printf '%y %P %s\\n' | grep -v '^d' | LC_ALL=C sort";
         const std::string dirs = " && find . -type d -printf '%P\\n' | LC_ALL=C sort";
         CheckEq(Sh("cd " + Q(M) + cmd), Sh("cd " + Q(R) + cmd), "files and sizes");
         CheckEq(Sh("cd " + Q(M) + dirs), Sh("cd " + Q(R) + dirs), "directories");
       }},
      {"read whole",
       [&] {
         Sh("cat " + Q(M + "/read.bin") + " > " + Q(W + "/read.out"));
         CheckEq(ReadFile(W + "/read.out"), read_, "read.bin");
         CheckEq(Sh("cat " + Q(M + "/dirA/sub/deep.txt")), "deep\n", "deep.txt");
       }},
      {"read at offsets",
       [&] {
         CheckEq(Sh("dd if=" + Q(M + "/read.bin") + " bs=4096 skip=37 count=5 status=none"),
                 read_.substr(37 * 4096, 5 * 4096), "dd skip=37");
         // Backwards, unaligned, and across the end of the file.
         for (std::size_t off :
              {std::size_t{3000001}, std::size_t{1000003}, std::size_t{17}, read_.size() - 100}) {
           CheckEq(Sh("dd if=" + Q(M + "/read.bin") + " bs=777 count=3 iflag=skip_bytes skip=" +
                      std::to_string(off) + " status=none"),
                   read_.substr(off, 3 * 777), "dd skip_bytes=" + std::to_string(off));
         }
       }},
      {"copy in and out",
       [&] {
         std::string up = PatternBytes(2500000, 3);
         WriteFile(W + "/up.bin", up);
         Sh("cp " + Q(W + "/up.bin") + " " + Q(M + "/up.bin"));
         CheckEq(ReadFile(R + "/up.bin"), up, "server copy");
         Sh("cp " + Q(M + "/up.bin") + " " + Q(W + "/back.bin"));
         CheckEq(ReadFile(W + "/back.bin"), up, "copy back");
         Sh("cp " + Q(W + "/up.bin") + " " + Q(M + "/tree/a/b/up2.bin"));
         CheckEq(ReadFile(R + "/tree/a/b/up2.bin"), up, "server copy in a subdirectory");
       }},
      {"append",
       [&] {
         Sh("printf 'line2\\n' >> " + Q(M + "/app.txt"));
         Sh("printf 'line3\\n' >> " + Q(M + "/app.txt"));
         CheckEq(ReadFile(R + "/app.txt"), "line1\nline2\nline3\n", "after two appends");
         std::string chunk = PatternBytes(300000, 5);
         WriteFile(W + "/chunk", chunk);
         Sh("cat " + Q(W + "/chunk") + " >> " + Q(M + "/app.txt"));
         CheckEq(ReadFile(R + "/app.txt"), "line1\nline2\nline3\n" + chunk, "after a large append");
         CheckEq(Sh("cat " + Q(M + "/app.txt")), "line1\nline2\nline3\n" + chunk, "read back");
       }},
      {"replace",
       [&] {
         std::string small = PatternBytes(5000, 6);
         WriteFile(W + "/small.bin", small);
         Sh("cp " + Q(W + "/small.bin") + " " + Q(M + "/replace.bin"));
         CheckEq(ReadFile(R + "/replace.bin"), small, "server after replace");
         CheckEq(Sh("cat " + Q(M + "/replace.bin")), small, "read back");
         CheckEq(Sh("stat -c %s " + Q(M + "/replace.bin")), "5000\n", "size shown");
       }},
      {"rename file",
       [&] {
         Sh("mv " + Q(M + "/ren.txt") + " " + Q(M + "/ren2.txt"));
         Check(!Exists(R + "/ren.txt"), "old name still on the server");
         CheckEq(ReadFile(R + "/ren2.txt"), "rename me\n", "server ren2.txt");
         CheckEq(Sh("cat " + Q(M + "/ren2.txt")), "rename me\n", "read new name");
         Check(RunShell("test -e " + Q(M + "/ren.txt")).status != 0, "old name still on the drive");
       }},
      {"rename directory",
       [&] {
         Sh("mv " + Q(M + "/dirA") + " " + Q(M + "/dirB"));
         Check(!Exists(R + "/dirA"), "old directory still on the server");
         CheckEq(ReadFile(R + "/dirB/sub/deep.txt"), "deep\n", "server dirB/sub/deep.txt");
         CheckEq(Sh("cat " + Q(M + "/dirB/sub/deep.txt")), "deep\n", "read through new name");
         Check(RunShell("test -e " + Q(M + "/dirA")).status != 0,
               "old directory still on the drive");
       }},
      {"mkdir and rmdir",
       [&] {
         Sh("mkdir " + Q(M + "/newdir") + " && mkdir -p " + Q(M + "/n1/n2/n3"));
         Check(IsDir(R + "/newdir") && IsDir(R + "/n1/n2/n3"), "directories missing on the server");
         Sh("cp " + Q(W + "/small.bin") + " " + Q(M + "/n1/n2/n3/f.bin"));
         Sh("rm " + Q(M + "/n1/n2/n3/f.bin") + " && rmdir " + Q(M + "/n1/n2/n3") + " " +
            Q(M + "/n1/n2") + " " + Q(M + "/n1") + " " + Q(M + "/newdir"));
         Check(!Exists(R + "/newdir") && !Exists(R + "/n1"), "directories still on the server");
         Check(RunShell("test -e " + Q(M + "/newdir")).status != 0, "directory still on the drive");
         Check(RunShell("rmdir " + Q(M + "/tree")).status != 0, "rmdir of a non-empty directory");
         Check(Exists(R + "/tree/a/d.txt"), "non-empty directory lost content");
       }},
      {"delete",
       [&] {
         Sh("rm " + Q(M + "/del.txt"));
         Check(!Exists(R + "/del.txt"), "file still on the server");
         Check(Sh("ls " + Q(M)).find("del.txt") == std::string::npos, "file still listed");
         Check(RunShell("rm " + Q(M + "/del.txt")).status != 0, "second delete succeeded");
       }},
      {"truncate to 0",
       [&] {
         Sh("truncate -s 0 " + Q(M + "/trunc.txt"));
         Check(FileSize(R + "/trunc.txt") == 0, "server size not 0");
         CheckEq(Sh("cat " + Q(M + "/trunc.txt")), "", "read after truncate");
         Sh(": > " + Q(M + "/trunc2.txt"));
         Check(FileSize(R + "/trunc2.txt") == 0, "server size not 0 after '>'");
       }},
      {"names with spaces",
       [&] {
         CheckEq(Sh("cat " + Q(M + "/name with spaces.txt")), "spaces\n", "read");
         CheckEq(Sh("cat " + Q(M + "/dir with spaces/inside file.txt")), "inside\n", "read in dir");
         Sh("cp " + Q(W + "/small.bin") + " " + Q(M + "/dir with spaces/new file.bin"));
         CheckEq(ReadFile(R + "/dir with spaces/new file.bin"), ReadFile(W + "/small.bin"),
                 "server copy");
         Sh("mv " + Q(M + "/dir with spaces/new file.bin") + " " +
            Q(M + "/dir with spaces/re named.bin"));
         Check(Exists(R + "/dir with spaces/re named.bin"), "renamed file missing on the server");
       }},
      {"non-ASCII names",
       [&] {
         CheckEq(Sh("cat " + Q(M + "/" + kUnicodeName)), "unicode\n", "read");
         Sh("cp " + Q(W + "/small.bin") + " " + Q(M + "/" + kUnicodeNew));
         CheckEq(ReadFile(R + "/" + kUnicodeNew), ReadFile(W + "/small.bin"), "server copy");
         Sh("mkdir " + Q(M + "/" + kUnicodeDir));
         Check(IsDir(R + "/" + kUnicodeDir), "directory missing on the server");
         Check(Sh("ls " + Q(M)).find(kUnicodeNew) != std::string::npos, "new name not listed");
       }},
      {"empty directory",
       [&] {
         CheckEq(Sh("ls -A " + Q(M + "/empty")), "", "listing");
         Sh("test -d " + Q(M + "/empty"));
       }},
      {"2000 entries",
       [&] {
         CheckEq(Sh("ls " + Q(M + "/many") + " | wc -l"), "2000\n", "count");
         CheckEq(Sh("cat " + Q(M + "/many/f1999.txt") + " " + Q(M + "/many/f0000.txt")),
                 "entry 1999\nentry 0\n", "first and last");
       }},
      {"no stale data",
       [&] {
         // Read a file whole (the kernel may keep its pages), replace it through the drive,
         // read again: the new bytes, never the old ones.
         std::string before = PatternBytes(200000, 12), after = PatternBytes(150000, 13);
         WriteFile(W + "/before", before);
         WriteFile(W + "/after", after);
         Sh("cp " + Q(W + "/before") + " " + Q(M + "/stale.bin"));
         CheckEq(Sh("cat " + Q(M + "/stale.bin")), before, "first read");
         Sh("cp " + Q(W + "/after") + " " + Q(M + "/stale.bin"));
         CheckEq(Sh("cat " + Q(M + "/stale.bin")), after, "read after replace");
         Sh("printf tail >> " + Q(M + "/stale.bin"));
         CheckEq(Sh("cat " + Q(M + "/stale.bin")), after + "tail", "read after append");
         CheckEq(ReadFile(R + "/stale.bin"), after + "tail", "server");
       }},
      {"rename over a file",
       [&] {
         WriteFile(W + "/target", "old target\n");
         Sh("cp " + Q(W + "/target") + " " + Q(M + "/target.txt"));
         Sh("mv " + Q(M + "/ren2.txt") + " " + Q(M + "/target.txt"));
         CheckEq(ReadFile(R + "/target.txt"), "rename me\n", "server");
         CheckEq(Sh("cat " + Q(M + "/target.txt")), "rename me\n", "drive");
         Check(!Exists(R + "/ren2.txt"), "source still on the server");
       }},
      {"write in the middle",
       [&] {
         // Only writes from offset 0 or at the end can be served: a write in the middle must
         // fail and leave the server's file as it was.
         std::string orig = ReadFile(R + "/read.bin");
         CommandResult r = RunShell("printf XYZ | dd of=" + Q(M + "/read.bin") +
                                    " bs=1 seek=1000 conv=notrunc status=none");
         Check(r.status != 0, "the write in the middle reported success");
         Check(ReadFile(R + "/read.bin") == orig, "the server's file changed");
       }},
      {"touch and cp -r",
       [&] {
         Sh("touch " + Q(M + "/touched.txt"));
         Check(Exists(R + "/touched.txt") && FileSize(R + "/touched.txt") == 0, "empty file");
         WriteFile(W + "/src/x/1.txt", "one\n");
         WriteFile(W + "/src/x/y/2.bin", PatternBytes(70000, 14));
         MakeDirs(W + "/src/z");
         Sh("cp -rp " + Q(W + "/src") + " " + Q(M + "/copied"));
         const std::string cmd = " && find . -printf '%y %P %s\\n' | grep -v '^d' | LC_ALL=C sort";
         CheckEq(Sh("cd " + Q(R + "/copied") + cmd), Sh("cd " + Q(W + "/src") + cmd),
                 "server tree");
         Sh("cp -r " + Q(M + "/copied") + " " + Q(W + "/back"));
         CheckEq(Sh("cd " + Q(W + "/back") + cmd), Sh("cd " + Q(W + "/src") + cmd), "copied back");
         CheckEq(ReadFile(W + "/back/x/y/2.bin"), PatternBytes(70000, 14), "content");
       }},
      // Last before the unmount: its read leaves a transfer of a 5 GiB file running, and the
      // abort of a running transfer has its own fault case.
      {"over 4 GiB",
       [&] {
         CheckEq(Sh("stat -c %s " + Q(M + "/big.bin")), std::to_string(kBigSize) + "\n", "size");
         CheckEq(Sh("dd if=" + Q(M + "/big.bin") + " bs=64 count=1 iflag=skip_bytes skip=" +
                    std::to_string(kBigMarkAt - 16) + " status=none"),
                 std::string(16, '\0') + kBigMark + std::string(64 - 16 - kBigMark.size(), '\0'),
                 "bytes around the marker");
       }},
      {"unmount",
       [&] {
         CommandResult r = drive->Unmount();
         Check(r.status == 0, "status " + std::to_string(r.status) + ": " + r.Text());
         Check(!FindMount(M), "still mounted");
       }},
      {"remote subpath mount",
       [&] {
         DriveOptions so = o;
         so.hostAndPath = "127.0.0.1/dir with spaces";
         VeldraDrive sub(VELDRA_EXECUTABLE, so);
         CheckEq(Sh("ls " + Q(M)), "inside file.txt\nre named.bin\n", "listing");
         CheckEq(Sh("cat " + Q(M + "/inside file.txt")), "inside\n", "read");
         Sh("cp " + Q(W + "/target") + " " + Q(M + "/sub new.txt"));
         CheckEq(ReadFile(R + "/dir with spaces/sub new.txt"), "old target\n", "server");
         CommandResult r = sub.Unmount();
         Check(r.status == 0, "unmount status " + std::to_string(r.status) + ": " + r.Text());
       }},
  };

  struct Row {
    std::string name;
    bool ok;
    double seconds;
    std::string detail;
  };
  std::vector<Row> rows;
  for (auto& [name, run] : steps) {
    auto t0 = std::chrono::steady_clock::now();
    Row row{name, true, 0, ""};
    try {
      run();
    } catch (const std::exception& e) {
      row.ok = false;
      row.detail = e.what();
    }
    row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rows.push_back(row);
  }

  std::ostringstream table;
  table << "\n"
        << server->Name() << ", " << (p.passive ? "passive" : "active (/NOPASSIVE)") << ", " << M
        << "\n";
  char line[160];
  std::snprintf(line, sizeof line, "  %-20s %-6s %8s\n", "step", "result", "seconds");
  table << line;
  for (auto& r : rows) {
    std::snprintf(line, sizeof line, "  %-20s %-6s %8.2f\n", r.name.c_str(), r.ok ? "PASS" : "FAIL",
                  r.seconds);
    table << line;
  }
  std::printf("%s", table.str().c_str());
  for (auto& r : rows) EXPECT_TRUE(r.ok) << r.name << ": " << r.detail;
}

INSTANTIATE_TEST_SUITE_P(Servers, InteropTest,
                         ::testing::Values(Param{ServerKind::Pyftpdlib, true, 'q'},
                                           Param{ServerKind::Pyftpdlib, false, 'r'},
                                           Param{ServerKind::Vsftpd, true, 's'},
                                           Param{ServerKind::Vsftpd, false, 't'},
                                           Param{ServerKind::PureFtpd, true, 'u'},
                                           Param{ServerKind::PureFtpd, false, 'v'},
                                           Param{ServerKind::Proftpd, true, 'w'},
                                           Param{ServerKind::Proftpd, false, 'x'}),
                         [](const ::testing::TestParamInfo<Param>& info) {
                           std::string n = KindName(info.param.kind);
                           n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                           return n + (info.param.passive ? "_passive" : "_active");
                         });

}  // namespace
}  // namespace veldra::test
