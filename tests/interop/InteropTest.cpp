// The whole drive scenario through a real mount made by the veldra command, against each of
// the four servers, in passive mode and with /NOPASSIVE: the file operations, then the programs
// people run every day (git, rsync, vim, zip, sqlite, python). Each step is a row: a shell
// script run with M (the drive), R (the server's root, where every change is checked), W (a
// work directory) and SERVER set. Every step runs even when an earlier one failed; each run
// prints one table of results and fails when any step failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>

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

// The server's tree and the work files, made before the mount (the drive caches listings).
const char* const kSetup =
    R"sh(mkdir -p "$R/dirA/sub" "$R/dir with spaces" "$R/tree/a/b" "$R/empty" "$R/many"
mkdir -p "$W/src/x/y" "$W/src/z"; cd "$R"
head -c 3145851 /dev/urandom >read.bin; head -c 1M /dev/urandom >replace.bin
head -c 100000 /dev/urandom >trunc.txt; head -c 2000000 /dev/urandom >trunc3.bin
printf 'line1\n' >app.txt; echo rename me >ren.txt; echo inner >dirA/inner.txt; echo deep >dirA/sub/deep.txt
echo delete me >del.txt; printf x >trunc2.txt; echo spaces >"name with spaces.txt"; echo 1 >Readme
echo inside >"dir with spaces/inside file.txt"; echo unicode >"ünïcödé 日本.txt"; echo 22 >README
echo c >tree/a/b/c.txt; echo d >tree/a/d.txt; echo e >tree/a-; echo f >"tree/a b"; echo alpha >a.txt; echo h >.hidden; echo old >gone.txt
echo 1 >" leading.txt"; echo 2 >"trailing.txt "; echo 3 >"double  blank.txt"
awk 'BEGIN { for (i = 0; i < 2000; i++) { f = sprintf("many/f%04d.txt", i); print "entry " i >f; close(f) } }'
truncate -s 5G big.bin; printf BEYOND-4GiB | dd of=big.bin bs=1 seek=4294971393 conv=notrunc status=none
cd "$W"; head -c 2500000 /dev/urandom >up.bin; head -c 300000 /dev/urandom >chunk
head -c 5000 /dev/urandom >small.bin; head -c 200000 /dev/urandom >before; head -c 150000 /dev/urandom >after
head -c 20M /dev/urandom >last; echo one >src/x/1.txt; head -c 70000 /dev/urandom >src/x/y/2.bin)sh";

struct Step {
  const char* name;
  const char* script;
};

// Every step, in order; the unmount and a second mount of a subdirectory follow them.
const Step kSteps[] = {
    {"list and read",  // the tree holds an empty directory and one of 2000 entries
     R"sh([ "$(tree "$M")" = "$(tree "$R")" ]; cmp "$M/read.bin" "$R/read.bin"
is "$M/dirA/sub/deep.txt" deep; is "$M/many/f1999.txt" "entry 1999")sh"},
    {"read at offsets",  // forwards, backwards, unaligned, across the end
     R"sh(same read.bin "bs=4096 skip=37 count=5"
for o in 3000001 1000003 17 $(($(stat -c %s "$R/read.bin") - 100)); do
  same read.bin "bs=777 count=3 iflag=skip_bytes skip=$o"; done)sh"},
    {"copy in, out and over", R"sh(cp "$W/up.bin" "$M/up.bin"; cmp "$R/up.bin" "$W/up.bin"
cp "$M/up.bin" "$W/back.bin"; cmp "$W/back.bin" "$W/up.bin"
cp "$W/up.bin" "$M/tree/a/b/up2.bin"; cmp "$R/tree/a/b/up2.bin" "$W/up.bin"
cp "$W/small.bin" "$M/replace.bin"; cmp "$R/replace.bin" "$W/small.bin"; cmp "$M/replace.bin" "$W/small.bin")sh"},
    {"append", R"sh(printf 'line2\n' >>"$M/app.txt"; printf 'line3\n' >>"$M/app.txt"
printf 'line1\nline2\nline3\n' >"$W/app"; cmp "$R/app.txt" "$W/app"
cat "$W/chunk" >>"$M/app.txt"; cat "$W/chunk" >>"$W/app"
cmp "$R/app.txt" "$W/app"; cmp "$M/app.txt" "$W/app")sh"},
    {"rename file",
     R"sh(mv "$M/ren.txt" "$M/ren2.txt"; is "$R/ren2.txt" "rename me"; [ ! -e "$R/ren.txt" ]
[ ! -e "$M/ren.txt" ]; printf 'old target\n' >"$W/target"; cp "$W/target" "$M/target.txt"
mv "$M/ren2.txt" "$M/target.txt"; is "$R/target.txt" "rename me"; is "$M/target.txt" "rename me")sh"},
    {"rename directory",  // the old name's listing goes with it
     R"sh(mv "$M/dirA" "$M/dirB"; is "$R/dirB/sub/deep.txt" deep; is "$M/dirB/sub/deep.txt" deep
[ ! -e "$R/dirA" ]; [ ! -e "$M/dirA" ]; mkdir "$M/dirA"; [ -z "$(ls -A "$M/dirA")" ])sh"},
    {"mkdir, rmdir and refusals",
     R"sh(mkdir "$M/newdir"; mkdir -p "$M/n1/n2/n3"; [ -d "$R/newdir" ]
[ -d "$R/n1/n2/n3" ]; cp "$W/small.bin" "$M/n1/n2/n3/f.bin"; rm "$M/n1/n2/n3/f.bin"
rmdir "$M/n1/n2/n3" "$M/n1/n2" "$M/n1" "$M/newdir"; [ ! -e "$R/newdir" ]; [ ! -e "$R/n1" ]
[ ! -e "$M/newdir" ]; rmdir "$M/tree" 2>&1 | grep -q 'not empty'; [ -e "$R/tree/a/d.txt" ]
fails touch "$M/$(printf 'n%.0s' $(seq 256))"; touch "$M/$(printf 'n%.0s' $(seq 255))")sh"},
    {"delete", R"sh(rm "$M/del.txt"; [ ! -e "$R/del.txt" ]; fails sh -c "ls '$M' | grep -qx del.txt"
fails rm "$M/del.txt")sh"},
    {"truncate", R"sh(truncate -s 0 "$M/trunc.txt"; [ ! -s "$R/trunc.txt" ]
[ -z "$(cat "$M/trunc.txt")" ]; : >"$M/trunc2.txt"; [ ! -s "$R/trunc2.txt" ]
head -c 1500000 "$R/trunc3.bin" >"$W/t3"; truncate -s 1500000 "$M/trunc3.bin"; cmp "$W/t3" "$R/trunc3.bin")sh"},
    {"names with blanks",  // pure-ftpd itself stores a trailing blank as "_"
     R"sh(is "$M/name with spaces.txt" spaces; is "$M/dir with spaces/inside file.txt" inside
cp "$W/small.bin" "$M/dir with spaces/new file.bin"; cmp "$R/dir with spaces/new file.bin" "$W/small.bin"
mv "$M/dir with spaces/new file.bin" "$M/dir with spaces/re named.bin"; [ -e "$R/dir with spaces/re named.bin" ]
echo a >"$M/ lead.txt"; echo c >"$M/two  blanks.txt"; is "$R/ lead.txt" a; is "$M/two  blanks.txt" c
[ $SERVER = pure-ftpd ] || { echo b >"$M/trailing.txt "; is "$R/trailing.txt " b; }
echo x >"$M/.made"; ls -a "$M" | grep -qx .made)sh"},
    {"non-ASCII names", R"sh(is "$M/ünïcödé 日本.txt" unicode; cp "$W/small.bin" "$M/créé ✓ ß.txt"
cmp "$R/créé ✓ ß.txt" "$W/small.bin"; mkdir "$M/répertoire"; [ -d "$R/répertoire" ]
ls "$M" | grep -qx "créé ✓ ß.txt")sh"},
    {"no stale data",  // a file read whole, replaced and appended: never the old pages
     R"sh(cp "$W/before" "$M/stale.bin"; cmp "$M/stale.bin" "$W/before"; cp "$W/after" "$M/stale.bin"
cmp "$M/stale.bin" "$W/after"; printf tail >>"$M/stale.bin"; printf tail >>"$W/after"
cmp "$M/stale.bin" "$W/after"; cmp "$R/stale.bin" "$W/after")sh"},
    {"write in the middle",  // spooled, and sent whole at the close
     R"sh(cp "$R/read.bin" "$W/want"; printf XYZ | dd of="$W/want" bs=1 seek=1000 conv=notrunc status=none
printf XYZ | dd of="$M/read.bin" bs=1 seek=1000 conv=notrunc status=none
cmp "$R/read.bin" "$W/want")sh"},
    {"touch, cp -r and rm -r",  // a removed directory's listing goes with it
     R"sh(touch "$M/touched.txt"; [ -e "$R/touched.txt" ]; [ ! -s "$R/touched.txt" ]
cp -rp "$W/src" "$M/copied"; [ "$(tree "$R/copied")" = "$(tree "$W/src")" ]
cp -r "$M/copied" "$W/back"; [ "$(tree "$W/back")" = "$(tree "$W/src")" ]
cmp "$W/back/x/y/2.bin" "$W/src/x/y/2.bin"; rm -r "$M/copied"; [ ! -e "$R/copied" ]
mkdir "$M/copied"; [ -z "$(ls -A "$M/copied")" ])sh"},
    {"times and modes", R"sh(touch -d '2020-01-02 03:04:05' "$W/t"; cp -p "$W/t" "$M/t"
[ "$(stat -c %Y "$M/t")" = 1577934245 ]; [ "$(stat -c %Y "$R/t")" = 1577934245 ]
printf '#!/bin/sh\necho ran\n' >"$M/run.sh"; chmod +x "$M/run.sh"; [ "$("$M/run.sh")" = ran ]
[ -x "$R/run.sh" ])sh"},
    {"changes on the server",  // seen once the listing expires; a create is not refused
     R"sh(ls "$M" >/dev/null; rm "$R/gone.txt"; echo new >"$M/gone.txt"; is "$R/gone.txt" new
echo added >"$R/added.txt"; rm "$R/a.txt"; sleep 3; is "$M/added.txt" added; [ ! -e "$M/a.txt" ]
[ "$(stat -c %Y "$M/t")" = 1577934245 ]; stat -c %y "$M/t" | grep -q ':05\.000000000 ')sh"},
    {"vim edits in a row", R"sh(printf 'n=0\n' >"$M/v.txt"; for i in 1 2 3 4 5 6; do
vim -Es -c "%s/n=.*/n=$i/" -c wq "$M/v.txt"; is "$R/v.txt" n=$i; done)sh"},
    {"rsync", R"sh(mkdir -p "$W/rs/d"; for i in 1 2 3; do echo $i >"$W/rs/d/f$i"; done
head -c 500000 /dev/urandom >"$W/rs/f"; rsync -a "$W/rs/" "$M/rs/"; diff -r "$W/rs" "$R/rs"
rsync -a --stats "$W/rs/" "$M/rs/" | grep -q 'files transferred: 0'
printf changed | dd of="$W/rs/f" bs=1 seek=1000 conv=notrunc status=none; touch -d 2021-01-01 "$W/rs/f"
rsync -a --inplace --no-whole-file "$W/rs/" "$M/rs/"; cmp "$W/rs/f" "$R/rs/f")sh"},
    {"git clone and log",
     R"sh(git init -q "$W/g"; echo a >"$W/g/a"; git -C "$W/g" add a; git -C "$W/g" -c user.name=t \
-c user.email=t@t commit -qm one; git clone -q "$W/g" "$M/clone"; git -C "$M/clone" log --oneline | grep -q one
[ -d "$R/clone/.git" ])sh"},
    {"python mmap and r+",
     R"sh(printf 'hello world' >"$M/rp.txt"; /usr/bin/python3 -c "import mmap, sys
g = open(sys.argv[1], 'rb'); m = mmap.mmap(g.fileno(), 0, access=mmap.ACCESS_READ); assert m[:5] == b'hello'
f = open(sys.argv[1], 'r+b'); f.seek(6); f.write(b'WORLD'); f.close()" "$M/rp.txt"; is "$R/rp.txt" 'hello WORLD')sh"},
    {"zip -r into the drive",  // written in any order: spooled, sent whole at the close
     R"sh(mkdir -p "$W/z"; for i in 1 2 3; do head -c 300000 /dev/urandom >"$W/z/f$i"; done
cd "$W"; zip -qr "$M/a.zip" z; unzip -tq "$R/a.zip"; unzip -qo "$R/a.zip" -d out; diff -r z out/z)sh"},
    {"sqlite3", R"sh(sqlite3 "$M/db.sqlite" 'create table t(a); insert into t values(1),(2);'
sqlite3 "$M/db.sqlite" 'update t set a=a*10; insert into t values(3);'
[ "$(sqlite3 "$R/db.sqlite" 'select sum(a) from t')" = 33 ])sh"},
    // A read far into a 5 GiB file leaves its transfer running: the next write aborts it.
    // Last: the unmount follows the copy at once, and the server must get every byte.
    {"over 4 GiB", R"sh([ "$(stat -c %s "$M/big.bin")" = 5368709120 ]; for i in 1 2; do
same big.bin "bs=64 count=1 iflag=skip_bytes skip=4294971377"; cp "$W/small.bin" "$M/ab$i"
cmp "$R/ab$i" "$W/small.bin"; done; cp "$W/last" "$M/last.bin")sh"},
};

// One server in one mode, on a drive letter of its own.
class InteropTest : public ::testing::TestWithParam<std::tuple<ServerKind, bool>> {};

TEST_P(InteropTest, DriveScenario) {
  const auto [kind, passive] = GetParam();
  TempDir root("veldra-interop"), work("veldra-interop-work");
  std::string vars = "R=" + ShellQuote(root.Path()) + " W=" + ShellQuote(work.Path()) + "\n";
  const CommandResult setup = RunShell(kPrelude + vars + kSetup, 120);
  ASSERT_EQ(setup.status, 0) << setup.Text();
  auto server = StartServer(kind, root.Path());
  DriveOptions o;  // the servers' own test account is the default
  o.letter = static_cast<char>('q' + 2 * static_cast<int>(kind) + (passive ? 0 : 1));
  o.port = server->Port();
  o.passive = passive;
  o.extra = {"/CACHE:2"};
  auto drive = std::make_unique<VeldraDrive>(kVeldra, o);
  vars += "M=" + ShellQuote(drive->MountPoint()) + " SERVER=" + server->Name() + "\n";
  // Runs a step: the end of its output when it fails, or "".
  const auto run = [&](const std::string& script) {
    const CommandResult r = RunShell(kPrelude + vars + script, 120);
    server->OwnTree();  // what the test made on the server's side belongs to its account
    const std::string text = r.Text();
    return r.status == 0 ? "" : text.substr(text.size() - std::min<size_t>(text.size(), 600));
  };
  for (const Step& step : kSteps) EXPECT_EQ(run(step.script), "") << step.name;
  const CommandResult unmount = drive->Unmount();
  EXPECT_EQ(unmount.status, 0) << unmount.Text();
  // A second mount, of a directory with blanks in its name.
  o.hostAndPath = "127.0.0.1/dir with spaces";
  VeldraDrive sub(kVeldra, o);
  EXPECT_EQ(run(R"sh([ "$(ls "$M")" = "$(printf 'inside file.txt\nre named.bin')" ]
is "$M/inside file.txt" inside; cp "$W/target" "$M/sub new.txt"
cmp "$R/dir with spaces/sub new.txt" "$W/target"; cmp "$R/last.bin" "$W/last")sh"),
            "");
  EXPECT_EQ(sub.Unmount().status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, InteropTest,
    ::testing::Combine(::testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd,
                                         ServerKind::PureFtpd, ServerKind::Proftpd),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<ServerKind, bool>>& info) {
      std::string n = KindName(std::get<0>(info.param));
      n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
      return n + (std::get<1>(info.param) ? "_passive" : "_active");
    });

}  // namespace
}  // namespace veldra::test
