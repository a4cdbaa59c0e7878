// Programs people run every day, through a real mount on each server: each row is a shell
// script that must succeed ($M is the mount point, $S the server's own directory, $W a local
// work directory) and checks what it did on the server's side. Every row runs; the run prints
// one table.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/FtpServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/VeldraDrive.h"

namespace veldra::test {
namespace {

struct Step {
  const char* name;
  const char* script;
};

const Step kSteps[] = {
    // (pure-ftpd itself stores a trailing blank as "_": no such name there.)
    {"names with blanks",
     "echo a > \"$M/ leading.txt\" && echo c > \"$M/two  blanks.txt\" && ls -a \"$M\" | grep -qx "
     "' leading.txt' && [ \"$(cat \"$M/two  blanks.txt\")\" = c ] && { [ $SERVER = pure-ftpd ] "
     "|| { echo b > \"$M/trailing.txt \" && [ \"$(cat \"$S/trailing.txt \")\" = b ]; }; }"},
    {"dot-files",
     "ls -a \"$M\" | grep -qx .hidden && echo x > \"$M/.made\" && ls -a \"$M\" | grep -qx .made"},
    {"cp -p keeps the time",
     "touch -d '2020-01-02 03:04:05' \"$W/t\" && cp -p \"$W/t\" \"$M/t\" && [ \"$(stat -c %Y "
     "\"$M/t\")\" = 1577934245 ] && [ \"$(stat -c %Y \"$S/t\")\" = 1577934245 ]"},
    {"chmod +x and run",
     "printf '#!/bin/sh\\necho ran\\n' > \"$M/run.sh\" && chmod +x \"$M/run.sh\" && [ "
     "\"$(\"$M/run.sh\")\" = ran ] && [ -x \"$S/run.sh\" ]"},
    {"vim edits in a row",
     "printf 'n=0\\n' > \"$M/v.txt\" && for i in 1 2 3 4 5 6; do vim -Es -c \"%s/n=.*/n=$i/\" -c "
     "wq \"$M/v.txt\" || exit 1; [ \"$(cat \"$S/v.txt\")\" = n=$i ] || exit 1; done"},
    {"rsync -a twice sends nothing the second time",
     "mkdir -p \"$W/tree/d\" && for i in 1 2 3; do echo $i > \"$W/tree/d/f$i\"; done && rsync -a "
     "\"$W/tree/\" \"$M/r/\" && rsync -a --stats \"$W/tree/\" \"$M/r/\" | grep -q 'files "
     "transferred: 0' && diff -r \"$W/tree\" \"$S/r\""},
    {"git clone and log",
     "git init -q \"$W/src\" && echo a > \"$W/src/a\" && git -C \"$W/src\" add a && git -C "
     "\"$W/src\" -c user.name=t -c user.email=t@t commit -qm one && git clone -q \"$W/src\" "
     "\"$M/clone\" && git -C \"$M/clone\" log --oneline | grep -q one && [ -d \"$S/clone/.git\" ]"},
    {"shared read-only mmap",
     "/usr/bin/python3 -c \"import mmap,sys; f=open(sys.argv[1],'rb'); "
     "m=mmap.mmap(f.fileno(),0,access=mmap.ACCESS_READ); assert m[:5]==b'alpha'\" \"$M/a.txt\""},
    {"a file added on the server appears",
     "ls \"$M\" > /dev/null && echo new > \"$S/added.txt\" && sleep 3 && [ \"$(cat "
     "\"$M/added.txt\")\" = new ]"},
    // Writes in any order: spooled, and sent whole at the close.
    {"zip -r into the drive",
     "mkdir -p \"$W/z\" && for i in 1 2 3; do head -c 300000 /dev/urandom > \"$W/z/f$i\"; done && "
     "(cd \"$W\" && zip -qr \"$M/a.zip\" z) && unzip -tq \"$S/a.zip\" && (cd \"$W\" && "
     "unzip -qo \"$S/a.zip\" -d out) && diff -r \"$W/z\" \"$W/out/z\""},
    {"sqlite3 creates and updates a database",
     "sqlite3 \"$M/db.sqlite\" 'create table t(a); insert into t values(1),(2);' && sqlite3 "
     "\"$M/db.sqlite\" 'update t set a=a*10; insert into t values(3);' && [ \"$(sqlite3 "
     "\"$S/db.sqlite\" 'select sum(a) from t')\" = 33 ]"},
    {"three bytes into the middle of 8 MiB",
     "head -c 8M /dev/urandom > \"$W/big\" && cp \"$W/big\" \"$M/big\" && for f in \"$M/big\" "
     "\"$W/big\"; do printf abc | dd of=\"$f\" bs=1 seek=4000000 conv=notrunc status=none || exit "
     "1; done && cmp \"$W/big\" \"$S/big\""},
    {"truncate to the middle",
     "truncate -s 5000000 \"$M/big\" && truncate -s 5000000 \"$W/big\" && cmp \"$W/big\" "
     "\"$S/big\""},
    {"rsync --inplace of a changed file",
     "mkdir -p \"$W/ip\" && head -c 500000 /dev/urandom > \"$W/ip/f\" && rsync -a \"$W/ip/\" "
     "\"$M/ip/\" && printf changed | dd of=\"$W/ip/f\" bs=1 seek=1000 conv=notrunc status=none && "
     "touch -d '2021-01-01' \"$W/ip/f\" && rsync -a --inplace --no-whole-file \"$W/ip/\" "
     "\"$M/ip/\" && cmp \"$W/ip/f\" \"$S/ip/f\""},
    {"python open r+",
     "printf 'hello world' > \"$M/rp.txt\" && /usr/bin/python3 -c \"import sys; "
     "f=open(sys.argv[1],'r+'); f.seek(6); f.write('WORLD'); f.close()\" \"$M/rp.txt\" && [ "
     "\"$(cat \"$S/rp.txt\")\" = 'hello WORLD' ]"},
    {"refusals as a program expects them",
     "mkdir \"$M/full\" && touch \"$M/full/.x\" && rmdir \"$M/full\" 2>&1 | grep -q 'not empty' "
     "&& rm -r \"$M/full\" && ! touch \"$M/$(printf 'n%.0s' $(seq 256))\" 2>/dev/null && touch "
     "\"$M/$(printf 'n%.0s' $(seq 255))\""},
};

TEST(Programs, EveryStepOnEveryServer) {
  for (ServerKind kind :
       {ServerKind::Vsftpd, ServerKind::Pyftpdlib, ServerKind::Proftpd, ServerKind::PureFtpd}) {
    TempDir root("veldra-programs");
    TempDir work("veldra-programs-work");
    WriteFile(root / "a.txt", "alpha");
    WriteFile(root / ".hidden", "h");
    auto server = StartServer(kind, root.Path());
    DriveOptions o;
    o.letter = 'p';
    o.port = server->Port();
    o.user = server->User();
    o.password = server->Password();
    o.extra = {"/CACHE:2"};
    VeldraDrive drive(VELDRA_EXECUTABLE, o);
    std::printf("%s, %s\n", server->Name(), drive.MountPoint().c_str());
    const std::string env =
        "SERVER=" + std::string(server->Name()) + " M=" + ShellQuote(drive.MountPoint()) +
        " S=" + ShellQuote(root.Path()) + " W=" + ShellQuote(work.Path()) + "; ";
    for (const Step& step : kSteps) {
      CommandResult r = RunShell(env + step.script, 120);
      server->OwnTree();  // files the drive made belong to the account the server runs as
      std::printf("  %-48s %s\n", step.name, r.status == 0 ? "PASS" : "FAIL");
      EXPECT_EQ(r.status, 0) << server->Name() << ": " << step.name << ": " << r.output;
    }
    EXPECT_EQ(drive.Unmount().status, 0);
  }
}

}  // namespace
}  // namespace veldra::test
