#!/usr/bin/env bash
# Cross-builds the Windows program and its suites with mingw-w64 into build-win/ and runs them
# under wine, headless, in a private wine prefix:
#   - win32_test through ctest: the Win32 platform suite and the portable transport/FTP/device
#     suites (the FTP client and the session against the scripted server on 127.0.0.1);
#   - veldra.exe as a user runs it: usage, exit codes, /DELETE of a drive that is not ours, a
#     failed login, the background launch (named start semaphore, peeked output pipe) without
#     the file-system library and with our test dokan.dll, and /DEBUG with the test dokan.dll,
#     which drives the callback table and checks every answer (against pyftpdlib on 127.0.0.1).
# Wine's system message texts differ from Windows', so the checks never compare them.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

scripts/deps.sh cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest python3 \
  python3-pyftpdlib procps

build=$repo/build-win
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

work=$(mktemp -d /tmp/veldra-win.XXXXXX)
export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installers (they would wait for a display); no display is needed.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "preparing the wine prefix"
wine wineboot -i >/dev/null 2>&1 || true
wineserver -w

# pyftpdlib on a free port of 127.0.0.1 with a temporary root; it writes the port to a file.
root=$work/ftproot
mkdir -p "$root"
cat >"$work/ftpd.py" <<'EOF'
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
authorizer = DummyAuthorizer()
authorizer.add_user("veldra", "secret", sys.argv[1], perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = authorizer
handler.auth_failed_timeout = 0.1
server = FTPServer(("127.0.0.1", 0), handler)
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(str(server.address[1]))
import os
os.rename(sys.argv[2] + ".tmp", sys.argv[2])
server.serve_forever()
EOF
/usr/bin/python3 "$work/ftpd.py" "$root" "$work/port" >"$work/ftpd.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the FTP server did not start"; cat "$work/ftpd.log"; exit 1; }
port=$(cat "$work/port")
echo "pyftpdlib on 127.0.0.1:$port"

(cd "$build" && ctest --output-on-failure --timeout 600)

# --- veldra.exe as a user runs it ------------------------------------------------------------
failures=0
last_rc=0
exe=$build/app/veldra.exe
out=$work/out.txt

# run <expected exit codes, e.g. 0 or 253|0> <wine arguments...>: runs the command, keeps its
# output in $out.
run() {
  local want=$1
  shift
  local rc=0
  timeout 120 wine "$@" >"$out" 2>&1 </dev/null || rc=$?
  last_rc=$rc
  if ! [[ "$rc" =~ ^($want)$ ]]; then
    echo "FAILED: veldra $* exited $rc, expected $want"
    sed 's/^/    /' "$out"
    failures=$((failures + 1))
    return 1
  fi
}
# has <text> <what>: the last output holds the text.
has() {
  if ! grep -qF -- "$1" "$out"; then
    echo "FAILED: $2: no \"$1\" in the output"
    sed 's/^/    /' "$out"
    failures=$((failures + 1))
  fi
}
crlf() {
  if grep -qv $'\r$' "$out"; then
    echo "FAILED: $1: a line does not end in CR LF"
    failures=$((failures + 1))
  fi
}
lacks() {
  if grep -qF -- "$1" "$out"; then
    echo "FAILED: $2: unexpected \"$1\""
    sed 's/^/    /' "$out"
    failures=$((failures + 1))
  fi
}
fresh_root() {
  rm -rf "${root:?}"/*
  printf 'hello world\n' >"$root/hello.txt"
  printf 'to be deleted\n' >"$root/gone.txt"
}

echo "front end: usage"
run 0 "$exe" && { has "The syntax of this command is:" usage; crlf usage; }
run 0 "$exe" T: && has "The syntax of this command is:" "usage for a device name alone"

echo "front end: /DELETE of drives that are not ours"
# No volume behind T: (wine has C: and Z: only), and C: is a drive of another file system.
run 255 "$exe" T: /DELETE && crlf "/DELETE without a volume"
run 255 "$exe" C: /delete && crlf "/DELETE of C:"
[ "$(wc -l <"$out")" = 1 ] || { echo "FAILED: /DELETE of C: printed more than one line"; failures=$((failures + 1)); }

echo "front end: failed login through the background copy"
fresh_root
run 255 "$exe" T: 127.0.0.1 wrong-password /USER:veldra /PORT:"$port" &&
  { has "Connecting..." "failed login"; crlf "failed login"
    [ "$(wc -l <"$out")" -ge 2 ] || { echo "FAILED: no login message"; failures=$((failures + 1)); }; }

echo "front end: no file-system library"
run 253 "$exe" T: "127.0.0.1" secret /USER:veldra /PORT:"$port" /DEBUG &&
  { has "dokan.dll" "missing library"; has "Disk driver: Can't install driver" "missing library"
    crlf "missing library"; }
# In the background the copy signals the start semaphore before it looks for the library; it has
# normally ended (-3) when the visible process takes its snapshot 2 s later, but a slow machine
# may still find it running (0, "Connected.").
run "253|0" "$exe" T: "127.0.0.1" secret /USER:veldra /PORT:"$port" &&
  { has "Connecting..." "background, missing library"; crlf "background, missing library"
    [ "$last_rc" = 0 ] || has "Disk driver: Can't install driver" "background, missing library"; }
wineserver -w

echo "drive adapter: background launch with the test dokan.dll"
app=$work/app
mkdir -p "$app"
cp "$exe" "$build/tests/win32/dokan.dll" "$app/"
fresh_root
run 0 "$app/veldra.exe" T: "127.0.0.1" secret /USER:veldra /PORT:"$port" /OWNERACCESSONLY &&
  { has "Connecting..." "background mount"; lacks "FAILED" "background mount"; }
wineserver -w  # the background copy has finished serving
if [ ! -f "$root/moved.txt" ] || [ -e "$root/gone.txt" ] || [ -e "$root/new.txt" ] ||
  [ "$(cat "$root/moved.txt")" != "written through the table" ]; then
  echo "FAILED: the background copy's checks did not leave the expected server files"
  ls -la "$root"
  failures=$((failures + 1))
fi

echo "drive adapter: /DEBUG with the test dokan.dll"
fresh_root
run 0 "$app/veldra.exe" T: "127.0.0.1" secret /USER:veldra /PORT:"$port" /DEBUG &&
  { has "checks passed" "/DEBUG mount"; lacks "FAILED" "/DEBUG mount";
    has "FtpReadFile: \\hello.txt" "/DEBUG log"; has "FTP SendCmd: " "/DEBUG log"; crlf "/DEBUG mount"; }
total=$(grep -o '[0-9]* of [0-9]* checks passed' "$out" || true)
echo "test dokan.dll: ${total:-no summary}"
[ "$(cat "$root/moved.txt" 2>/dev/null)" = "written through the table" ] ||
  { echo "FAILED: /DEBUG mount did not write moved.txt"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  echo "windows front-end checks: $failures FAILED"
  exit 1
fi
echo "windows front-end checks: all passed"
