// The whole drive scenario through a real mount made by the veldra command, against each of
// the four servers, in passive mode and with /NOPASSIVE. Each step is a row: a shell script run
// with M (the drive), R (the server's root, where every change is checked) and W (a work
// directory) set. Every step runs even when an earlier one failed; each run prints one table
// of results and fails when any step failed.
//
// The server's tree is prepared before the mount (the drive caches listings).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace veldra::test {
namespace {

// Helpers of the step scripts: fails CMD (CMD must fail), is FILE TEXT (its content, trailing
// line ends aside), same NAME "DD-ARGS" (the drive's and the server's bytes of NAME read by dd
// with those arguments are equal), tree DIR (its files with sizes, and its directories).
const char* const kPrelude = R"sh(set -eu
fails() { if "$@" 2>/dev/null; then echo "succeeded: $*"; exit 1; fi; }
is() { [ "$(cat "$1")" = "$2" ] || { echo "$1 is not '$2'"; exit 1; }; }
same() { dd if="$M/$1" $2 status=none >"$W/got"; dd if="$R/$1" $2 status=none >"$W/want"; cmp "$W/got" "$W/want"; }
tree() { cd "$1"; find . -printf '%y %P %s\n' | grep -v '^d' | LC_ALL=C sort; find . -type d -printf '%P\n' | LC_ALL=C sort; }
set -x
)sh";

struct Step {
  const char* name;
  const char* script;
};

// Every step of the scenario, in order; the unmount and a second mount follow them.
const Step kSteps[] = {
    {"list tree", R"sh([ "$(tree "$M")" = "$(tree "$R")" ])sh"},
    {"read whole", R"sh(cmp "$M/read.bin" "$R/read.bin"; is "$M/dirA/sub/deep.txt" deep)sh"},
    {"read at offsets",  // forwards, backwards, unaligned, across the end
     R"sh(same read.bin "bs=4096 skip=37 count=5"
for o in 3000001 1000003 17 $(($(stat -c %s "$R/read.bin") - 100)); do
  same read.bin "bs=777 count=3 iflag=skip_bytes skip=$o"; done)sh"},
    {"copy in and out", R"sh(cp "$W/up.bin" "$M/up.bin"; cmp "$R/up.bin" "$W/up.bin"
cp "$M/up.bin" "$W/back.bin"; cmp "$W/back.bin" "$W/up.bin"
cp "$W/up.bin" "$M/tree/a/b/up2.bin"; cmp "$R/tree/a/b/up2.bin" "$W/up.bin")sh"},
    {"append", R"sh(printf 'line2\n' >>"$M/app.txt"; printf 'line3\n' >>"$M/app.txt"
printf 'line1\nline2\nline3\n' >"$W/app"; cmp "$R/app.txt" "$W/app"
cat "$W/chunk" >>"$M/app.txt"; cat "$W/chunk" >>"$W/app"
cmp "$R/app.txt" "$W/app"; cmp "$M/app.txt" "$W/app")sh"},
    {"replace", R"sh(cp "$W/small.bin" "$M/replace.bin"; cmp "$R/replace.bin" "$W/small.bin"
cmp "$M/replace.bin" "$W/small.bin"; [ "$(stat -c %s "$M/replace.bin")" = 5000 ])sh"},
    {"rename file", R"sh(mv "$M/ren.txt" "$M/ren2.txt"; is "$R/ren2.txt" "rename me"
is "$M/ren2.txt" "rename me"; [ ! -e "$R/ren.txt" ]; [ ! -e "$M/ren.txt" ])sh"},
    {"rename directory", R"sh(mv "$M/dirA" "$M/dirB"; is "$R/dirB/sub/deep.txt" deep
is "$M/dirB/sub/deep.txt" deep; [ ! -e "$R/dirA" ]; [ ! -e "$M/dirA" ])sh"},
    {"mkdir and rmdir", R"sh(mkdir "$M/newdir"; mkdir -p "$M/n1/n2/n3"; [ -d "$R/newdir" ]
[ -d "$R/n1/n2/n3" ]; cp "$W/small.bin" "$M/n1/n2/n3/f.bin"; rm "$M/n1/n2/n3/f.bin"
rmdir "$M/n1/n2/n3" "$M/n1/n2" "$M/n1" "$M/newdir"; [ ! -e "$R/newdir" ]; [ ! -e "$R/n1" ]
[ ! -e "$M/newdir" ]; fails rmdir "$M/tree"; [ -e "$R/tree/a/d.txt" ])sh"},
    {"delete", R"sh(rm "$M/del.txt"; [ ! -e "$R/del.txt" ]; fails sh -c "ls '$M' | grep -qx del.txt"
fails rm "$M/del.txt")sh"},
    {"truncate to 0", R"sh(truncate -s 0 "$M/trunc.txt"; [ ! -s "$R/trunc.txt" ]
[ -z "$(cat "$M/trunc.txt")" ]; : >"$M/trunc2.txt"; [ ! -s "$R/trunc2.txt" ])sh"},
    {"names with spaces", R"sh(is "$M/name with spaces.txt" spaces
is "$M/dir with spaces/inside file.txt" inside
cp "$W/small.bin" "$M/dir with spaces/new file.bin"; cmp "$R/dir with spaces/new file.bin" "$W/small.bin"
mv "$M/dir with spaces/new file.bin" "$M/dir with spaces/re named.bin"
[ -e "$R/dir with spaces/re named.bin" ])sh"},
    {"non-ASCII names",
     "is \"$M/\xc3\xbcn\xc3\xaf"
     "c\xc3\xb6"
     "d\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt\" unicode\n"
     "cp \"$W/small.bin\" \"$M/cr\xc3\xa9\xc3\xa9 \xe2\x9c\x93 \xc3\x9f.txt\"\n"
     "cmp \"$R/cr\xc3\xa9\xc3\xa9 \xe2\x9c\x93 \xc3\x9f.txt\" \"$W/small.bin\"\n"
     "mkdir \"$M/r\xc3\xa9pertoire\"; [ -d \"$R/r\xc3\xa9pertoire\" ]\n"
     "ls \"$M\" | grep -qx \"cr\xc3\xa9\xc3\xa9 \xe2\x9c\x93 \xc3\x9f.txt\""},
    {"empty directory", R"sh([ -d "$M/empty" ]; [ -z "$(ls -A "$M/empty")" ])sh"},
    {"2000 entries", R"sh([ "$(ls "$M/many" | wc -l)" = 2000 ]; is "$M/many/f1999.txt" "entry 1999"
is "$M/many/f0000.txt" "entry 0")sh"},
    {"no stale data",  // a file read whole, replaced and appended: never the old pages
     R"sh(cp "$W/before" "$M/stale.bin"; cmp "$M/stale.bin" "$W/before"
cp "$W/after" "$M/stale.bin"; cmp "$M/stale.bin" "$W/after"
printf tail >>"$M/stale.bin"; printf tail >>"$W/after"
cmp "$M/stale.bin" "$W/after"; cmp "$R/stale.bin" "$W/after")sh"},
    {"rename over a file", R"sh(printf 'old target\n' >"$W/target"; cp "$W/target" "$M/target.txt"
mv "$M/ren2.txt" "$M/target.txt"; is "$R/target.txt" "rename me"; is "$M/target.txt" "rename me"
[ ! -e "$R/ren2.txt" ])sh"},
    {"write in the middle",  // spooled, and sent whole at the close
     R"sh(cp "$R/read.bin" "$W/want"; printf XYZ | dd of="$W/want" bs=1 seek=1000 conv=notrunc status=none
printf XYZ | dd of="$M/read.bin" bs=1 seek=1000 conv=notrunc status=none
cmp "$R/read.bin" "$W/want")sh"},
    {"touch and cp -r",
     R"sh(touch "$M/touched.txt"; [ -e "$R/touched.txt" ]; [ ! -s "$R/touched.txt" ]
cp -rp "$W/src" "$M/copied"; [ "$(tree "$R/copied")" = "$(tree "$W/src")" ]
cp -r "$M/copied" "$W/back"; [ "$(tree "$W/back")" = "$(tree "$W/src")" ]
cmp "$W/back/x/y/2.bin" "$W/src/x/y/2.bin")sh"},
    // Last before the unmount: its read leaves a transfer of a 5 GiB file running, and the
    // abort of a running transfer has its own fault case.
    {"over 4 GiB", R"sh([ "$(stat -c %s "$M/big.bin")" = 5368709120 ]
same big.bin "bs=64 count=1 iflag=skip_bytes skip=4294971377")sh"},
};

struct Param {
  ServerKind kind;
  bool passive;
  char letter;
};

class InteropTest : public ::testing::TestWithParam<Param> {};

TEST_P(InteropTest, DriveScenario) {
  const Param p = GetParam();
  TempDir root("veldra-interop"), work("veldra-interop-work");
  const std::string R = root.Path(), W = work.Path();
  WriteFile(R + "/read.bin", PatternBytes(3 * 1024 * 1024 + 123, 1));
  WriteFile(R + "/replace.bin", PatternBytes(1024 * 1024, 2));
  WriteFile(R + "/trunc.txt", PatternBytes(100000, 4));
  for (const char* text :
       {"app.txt=line1\n", "ren.txt=rename me\n", "dirA/inner.txt=inner\n",
        "dirA/sub/deep.txt=deep\n", "del.txt=delete me\n", "trunc2.txt=x",
        "name with spaces.txt=spaces\n", "dir with spaces/inside file.txt=inside\n",
        "\xc3\xbcn\xc3\xaf"
        "c\xc3\xb6"
        "d\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt=unicode\n",
        "tree/a/b/c.txt=c\n", "tree/a/d.txt=d\n"}) {
    const std::string entry = text;
    WriteFile(R + "/" + entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
  }
  MakeDirs(R + "/empty");
  for (int i = 0; i < 2000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/many/f%04d.txt", i);
    WriteFile(R + name, "entry " + std::to_string(i) + "\n");
  }
  MakeSparseFile(R + "/big.bin", 5ULL << 30, (4ULL << 30) + 4097, "BEYOND-4GiB");
  WriteFile(W + "/up.bin", PatternBytes(2500000, 3));
  WriteFile(W + "/chunk", PatternBytes(300000, 5));
  WriteFile(W + "/small.bin", PatternBytes(5000, 6));
  WriteFile(W + "/before", PatternBytes(200000, 12));
  WriteFile(W + "/after", PatternBytes(150000, 13));
  WriteFile(W + "/src/x/1.txt", "one\n");
  WriteFile(W + "/src/x/y/2.bin", PatternBytes(70000, 14));
  MakeDirs(W + "/src/z");
  auto server = StartServer(p.kind, R);

  DriveOptions o;
  o.letter = p.letter;
  o.port = server->Port();
  o.user = server->User();
  o.password = server->Password();
  o.passive = p.passive;
  auto drive = std::make_unique<VeldraDrive>(kVeldra, o);
  const std::string M = drive->MountPoint();
  const std::string vars =
      "M=" + ShellQuote(M) + " R=" + ShellQuote(R) + " W=" + ShellQuote(W) + "\n";
  // A step's error, "" when it passed.
  const auto run = [&](const std::string& script) {
    const CommandResult r = RunShell(kPrelude + vars + script, 120);
    const std::string text = r.Text();
    return r.status == 0
               ? std::string()
               : "status " + std::to_string(r.status) + (r.timedOut ? " (timed out)" : "") +
                     ": ..." + text.substr(text.size() - std::min<size_t>(text.size(), 600));
  };
  std::vector<std::pair<std::string, std::function<std::string()>>> rows;
  for (const Step& step : kSteps)
    rows.emplace_back(step.name, [&run, &step] { return run(step.script); });
  rows.emplace_back("unmount", [&] {
    const CommandResult r = drive->Unmount();
    return r.status != 0  ? "status " + std::to_string(r.status) + ": " + r.Text()
           : FindMount(M) ? "still mounted"
                          : "";
  });
  rows.emplace_back("remote subpath mount", [&] {
    DriveOptions sub = o;
    sub.hostAndPath = "127.0.0.1/dir with spaces";
    VeldraDrive d(kVeldra, sub);
    const std::string error =
        run(R"sh([ "$(ls "$M")" = "$(printf 'inside file.txt\nre named.bin')" ]
is "$M/inside file.txt" inside; cp "$W/target" "$M/sub new.txt"
cmp "$R/dir with spaces/sub new.txt" "$W/target")sh");
    const CommandResult r = d.Unmount();
    return !error.empty()  ? error
           : r.status != 0 ? "unmount status " + std::to_string(r.status)
                           : "";
  });

  std::printf("\n%s, %s, %s\n  %-20s %-6s %8s\n", server->Name(),
              p.passive ? "passive" : "active (/NOPASSIVE)", M.c_str(), "step", "result",
              "seconds");
  for (const auto& [name, step] : rows) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string error;
    try {
      error = step();
    } catch (const std::exception& e) {
      error = e.what();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  %-20s %-6s %8.2f\n", name.c_str(), error.empty() ? "PASS" : "FAIL", seconds);
    EXPECT_EQ(error, "") << name;
  }
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
