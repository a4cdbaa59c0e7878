#!/usr/bin/env bash
# The drive over an emulated wide-area link, beside rclone mount and lftp.
#
# vsftpd listens on 127.0.0.1 and announces 127.0.0.2 as its passive address; latency-proxy.py
# listens on 127.0.0.2 on the control port and the whole passive range and holds every chunk back
# by a fixed delay each way, so every FTP round trip costs twice that delay (50 ms by default).
# Each tool runs the same workloads on the same server through the proxy:
#   1. ls -lR of a 20 x 10 tree, cold (fresh mount / fresh lftp session) and warm (again)
#   2. cat of its 200 small files (one cat of all of them)
#   3. cat of a 16 MiB file
#   4. four readers of four different 4 MiB files at once
#   5. cp -r of a local tree of 20 files of 4 KiB into the server (lftp: mirror -R)
#   6. ls -l of an already listed directory while a cat of a 64 MiB file runs (mounts only)
# Medians of N runs, the FTP commands the server received for each workload (its protocol log),
# one table printed and appended to bench/RESULTS.md.
#
# Needs root and /dev/fuse; installs its packages, builds veldra, then runs everything in a
# private mount namespace (private tmpfs on /mnt and /dev/shm), on 127.0.0.x only.
#   VELDRA_LATENCY_RUNS      runs per figure (default 3)
#   VELDRA_LATENCY_DELAY_MS  one-way delay of the proxy in ms (default 25: a 50 ms round trip)
#   VELDRA_LATENCY_PROXY     the proxy (default ../shared/tools/latency-proxy.py next to the checkout)
#   VELDRA_LATENCY_TOOLS     the tools to run (default "veldra rclone lftp")
#   VELDRA_LATENCY_RCLONE_FLAGS  rclone mount's cache flags (default "--vfs-cache-mode off --dir-cache-time 0s")
#   VELDRA_BUILD             build directory (default <repo>/build-bench-latency)
#   VELDRA_BENCH_OUT         results file to append to (default bench/RESULTS.md; "-" writes none)
#   KEEP_WORK=1              keep the logs and outputs (/tmp/veldra-latency.*)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
self="$repo/bench/$(basename "$0")"
RUNS="${VELDRA_LATENCY_RUNS:-3}"
DELAY_MS="${VELDRA_LATENCY_DELAY_MS:-25}"
BUILD="${VELDRA_BUILD:-$repo/build-bench-latency}"
OUT="${VELDRA_BENCH_OUT:-$repo/bench/RESULTS.md}"
VELDRA="$BUILD/app/veldra"
PROXY="${VELDRA_LATENCY_PROXY:-}"
if [ -z "$PROXY" ]; then
  for c in "$repo/../shared/tools/latency-proxy.py" "$repo/../../shared/tools/latency-proxy.py"; do
    [ -f "$c" ] && { PROXY="$(cd "$(dirname "$c")" && pwd)/latency-proxy.py"; break; }
  done
fi

# ---- outside the namespace: packages, build, then the rest in a private mount namespace ----
if [ -z "${VELDRA_LATENCY_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root" >&2; exit 1; }
  [ -c /dev/fuse ] || { echo "/dev/fuse is missing" >&2; exit 1; }
  [[ "$RUNS" =~ ^[1-9][0-9]*$ ]] || { echo "VELDRA_LATENCY_RUNS: a count" >&2; exit 1; }
  [[ "$DELAY_MS" =~ ^[0-9]+$ ]] || { echo "VELDRA_LATENCY_DELAY_MS: whole milliseconds" >&2; exit 1; }
  if [ -z "$PROXY" ] || [ ! -f "$PROXY" ]; then
    echo "latency-proxy.py not found; set VELDRA_LATENCY_PROXY" >&2
    exit 1
  fi
  echo "== packages"
  timeout 900 "$repo/scripts/deps.sh" vsftpd rclone lftp python3 fuse3 curl cmake g++ make \
    pkg-config libfuse3-dev libssl-dev util-linux procps iproute2
  echo "== build ($BUILD)"
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    timeout 1800 cmake -S "$repo" -B "$BUILD" -DVELDRA_TESTS=OFF >/dev/null
  fi
  timeout 1800 cmake --build "$BUILD" -j2 --target veldra >/dev/null
  export VELDRA_LATENCY_INSIDE=1 VELDRA_LATENCY_PROXY="$PROXY" VELDRA_BUILD="$BUILD"
  # shellcheck disable=SC2016
  exec unshare -m --propagation private sh -c \
    'mount -t tmpfs none /mnt && mount -t tmpfs none /dev/shm && exec bash "$0" "$@"' "$self" "$@"
fi

# ---- inside: /mnt and /dev/shm are ours alone ----
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
TMO=300 # bound of any single measured command
LETTER=X
DRIVE=/mnt/x
RCDIR=/mnt/rclone
read -ra TOOLS <<<"${VELDRA_LATENCY_TOOLS:-veldra rclone lftp}"
W="$(mktemp -d /tmp/veldra-latency.XXXXXX)" # logs and outputs (kept with KEEP_WORK=1)
ROOT=/dev/shm/ftp-root                      # the server's files, on the private tmpfs
LOCAL=/dev/shm/upload-src                   # the local tree that workload 5 copies in
LOG="$W/vsftpd.log"
MARK="$W/mark.sh"
SLOW="$W/slow-reader.py"
VSFTPD_PID=""
PROXY_PID=""
RC_PID=""
VELDRA_UP=0

descendants() { # pid -> that process's descendants, deepest first
  local c
  for c in $(ps -o pid= --ppid "$1" 2>/dev/null); do
    descendants "$c"
    echo "$c"
  done
}
stop_tree() { # pid: stops it and everything it started
  local p
  [ -n "$1" ] || return 0
  for p in $(descendants "$1") "$1"; do kill "$p" 2>/dev/null || true; done
  wait "$1" 2>/dev/null || true
}
veldra_down() {
  [ "$VELDRA_UP" = 1 ] || mountpoint -q "$DRIVE" 2>/dev/null || return 0
  timeout 60 "$VELDRA" "$LETTER:" /delete >/dev/null 2>&1 || timeout 20 umount -l "$DRIVE" || true
  local i
  for i in $(seq 200); do mountpoint -q "$DRIVE" 2>/dev/null || break; sleep 0.05; done
  VELDRA_UP=0
}
rclone_down() {
  if mountpoint -q "$RCDIR" 2>/dev/null; then
    timeout 20 fusermount3 -u "$RCDIR" 2>/dev/null || timeout 20 umount -l "$RCDIR" || true
  fi
  if [ -n "$RC_PID" ]; then
    local i
    for i in $(seq 100); do kill -0 "$RC_PID" 2>/dev/null || break; sleep 0.05; done
    kill "$RC_PID" 2>/dev/null || true
    wait "$RC_PID" 2>/dev/null || true
  fi
  RC_PID=""
}
cleanup() {
  set +e
  veldra_down
  rclone_down
  stop_tree "$PROXY_PID"
  stop_tree "$VSFTPD_PID"
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$W"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
log_lines() { wc -l <"$LOG"; }
# Commands the server logged between log lines $1 and $2: "total (VERB n ...)", most frequent first.
cmd_summary() {
  sed -n "$(($1 + 1)),$2p" "$LOG" | { grep 'FTP command:' || true; } |
    sed -E 's/.*FTP command: Client "[^"]*", "([A-Za-z]+).*/\1/' | sort | uniq -c | sort -k1,1rn -k2 |
    awk '{ t += $1; s = s (s ? " " : "") $2 " " $1 } END { printf "%d (%s)", t, s }'
}
# Waits (at most 3 s) until the server's log has not grown for 0.2 s: the commands that a tool
# sends just after its command returned still count for that workload, and none spill into the
# next. Called after every step that talks to the server.
settle() {
  local n m still=0 i
  n="$(stat -c %s "$LOG")"
  for i in $(seq 30); do
    sleep 0.1
    m="$(stat -c %s "$LOG")"
    if [ "$m" = "$n" ]; then
      still=$((still + 1))
      [ "$still" -ge 2 ] && return 0
    else
      still=0
      n="$m"
    fi
  done
}

# ---- the data set ----
echo "== data set"
mkdir -p "$ROOT/tree" "$LOCAL" "$W/out" "$W/empty"
chmod 755 "$W" "$W/empty"
for d in $(seq -w 0 19); do
  mkdir "$ROOT/tree/dir$d"
  for f in $(seq -w 0 9); do head -c 4096 /dev/urandom >"$ROOT/tree/dir$d/file$f"; done
done
head -c 16M /dev/urandom >"$ROOT/big16.bin"
head -c 64M /dev/urandom >"$ROOT/big64.bin"
for i in 1 2 3 4; do head -c 4M /dev/urandom >"$ROOT/four-$i.bin"; done
for f in $(seq -w 0 19); do head -c 4096 /dev/urandom >"$LOCAL/up$f"; done
(cd "$ROOT/tree" && find . -type f | sed 's|^\./||' | sort) >"$W/small.names"
[ "$(wc -l <"$W/small.names")" -eq 200 ]
(cd "$ROOT/tree" && xargs -a "$W/small.names" cat | cksum) >"$W/small.sum"
cksum <"$ROOT/big16.bin" >"$W/big16.sum"
for i in 1 2 3 4; do cksum <"$ROOT/four-$i.bin" >"$W/four-$i.sum"; done
# The files belong to vsftpd's anonymous user, so it may write, delete and rename them; the root
# itself must not be writable by that user (vsftpd refuses such a chroot for anonymous sessions),
# so uploads go into incoming/.
mkdir "$ROOT/incoming"
chown -R ftp: "$ROOT"/*
chown root: "$ROOT"
chmod 755 "$ROOT"

# ---- server and proxy ----
echo "== server"
PORT=""
for p in $(seq 24000 200 31800); do
  if ! ss -Htan "( sport >= :$p and sport <= :$((p + 100)) )" | grep -q .; then PORT=$p; break; fi
done
[ -n "$PORT" ] || { echo "no free block of 101 ports in 24000-31900" >&2; exit 1; }
PASV_MIN=$((PORT + 1))
PASV_MAX=$((PORT + 100))
cat >"$W/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$PORT
background=NO
run_as_launching_user=NO
seccomp_sandbox=NO
pasv_enable=YES
pasv_min_port=$PASV_MIN
pasv_max_port=$PASV_MAX
pasv_address=127.0.0.2
port_enable=NO
connect_from_port_20=NO
local_enable=NO
anonymous_enable=YES
anon_root=$ROOT
ftp_username=ftp
no_anon_password=YES
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
anon_world_readable_only=NO
allow_writeable_chroot=YES
secure_chroot_dir=$W/empty
pam_service_name=vsftpd
userlist_enable=NO
tcp_wrappers=NO
force_dot_files=YES
async_abor_enable=YES
max_clients=0
max_per_ip=0
xferlog_enable=YES
vsftpd_log_file=$LOG
log_ftp_protocol=YES
dual_log_enable=NO
syslog_enable=NO
idle_session_timeout=600
data_connection_timeout=120
EOF
chmod 600 "$W/vsftpd.conf"
: >"$LOG"
setsid /usr/sbin/vsftpd "$W/vsftpd.conf" </dev/null >"$W/vsftpd.out" 2>&1 &
VSFTPD_PID=$!
greeting() { # address: the first reply line of the control port there
  timeout 3 bash -c "exec 3<>/dev/tcp/$1/$PORT && head -n 1 <&3" 2>/dev/null || true
}
for i in $(seq 100); do [[ "$(greeting 127.0.0.1)" == 220* ]] && break; sleep 0.1; done
[[ "$(greeting 127.0.0.1)" == 220* ]] || { echo "vsftpd did not start:" >&2; cat "$W/vsftpd.out" >&2; exit 1; }
setsid "$PY" "$PROXY" --listen 127.0.0.2 --target 127.0.0.1 --ports "$PORT,$PASV_MIN-$PASV_MAX" \
  --delay-ms "$DELAY_MS" --seconds 3600 </dev/null >"$W/proxy.out" 2>&1 &
PROXY_PID=$!
for i in $(seq 100); do [[ "$(greeting 127.0.0.2)" == 220* ]] && break; sleep 0.1; done
[[ "$(greeting 127.0.0.2)" == 220* ]] || { echo "latency proxy did not start:" >&2; cat "$W/proxy.out" >&2; exit 1; }
# One round trip through the proxy (connect, greeting) as a check of the delay.
t0=$EPOCHREALTIME
greeting 127.0.0.2 >/dev/null
echo "   vsftpd on 127.0.0.1:$PORT (passive $PASV_MIN-$PASV_MAX announced as 127.0.0.2), proxy on 127.0.0.2, ${DELAY_MS} ms each way; greeting through the proxy after $(secs "$t0" "$EPOCHREALTIME") s"

# ---- the tools ----
# rclone's FTP backend from environment variables; an empty config file of our own.
: >"$W/rclone.conf"
export RCLONE_CONFIG="$W/rclone.conf"
export RCLONE_CONFIG_VLAT_TYPE=ftp RCLONE_CONFIG_VLAT_HOST=127.0.0.2 RCLONE_CONFIG_VLAT_PORT="$PORT"
export RCLONE_CONFIG_VLAT_USER=anonymous
RCLONE_CONFIG_VLAT_PASS="$(rclone obscure anonymous@)"
export RCLONE_CONFIG_VLAT_PASS
read -ra RC_FLAGS <<<"${VELDRA_LATENCY_RCLONE_FLAGS:---vfs-cache-mode off --dir-cache-time 0s}"

veldra_up() {
  local out i
  out="$(timeout 60 "$VELDRA" "$LETTER:" 127.0.0.2 "/PORT:$PORT" 2>&1)" ||
    { echo "veldra mount failed: $out" >&2; return 1; }
  VELDRA_UP=1
  for i in $(seq 200); do [ -d "$DRIVE/tree" ] && settle && return 0; sleep 0.05; done
  echo "veldra mount: $DRIVE/tree not visible ($out)" >&2
  return 1
}
rclone_up() {
  local i
  mkdir -p "$RCDIR"
  rclone mount vlat: "$RCDIR" "${RC_FLAGS[@]}" --log-file "$W/rclone.log" </dev/null &
  RC_PID=$!
  for i in $(seq 300); do [ -d "$RCDIR/tree" ] && settle && return 0; sleep 0.05; done
  echo "rclone mount failed" >&2
  tail -5 "$W/rclone.log" >&2
  return 1
}

declare -A T=()   # "workload|tool" -> seconds of each run
declare -A N=()   # "workload|tool" -> FTP commands of each run (totals)
declare -A C=()   # "workload|tool" -> FTP commands of the last run, by verb
declare -A BUSY=() # "run|tool" -> whether the 64 MiB cat still ran when the ls ended
FAILS=0
fail() {
  echo "   !! $*" >&2
  FAILS=$((FAILS + 1))
}
record() { # workload tool seconds-or-FAIL from-line to-line
  T["$1|$2"]+="$3 "
  C["$1|$2"]="$(cmd_summary "$4" "$5")"
  N["$1|$2"]+="${C[$1|$2]%% *} "
}
# measure workload tool command: the command once under a time limit, its time and commands.
measure() {
  local start t0 t1 rc=0
  start="$(log_lines)"
  t0=$EPOCHREALTIME
  timeout "$TMO" bash -c "$3" || rc=$?
  t1=$EPOCHREALTIME
  settle
  if [ "$rc" -ne 0 ]; then
    fail "$1 / $2 failed ($rc): $3"
    record "$1" "$2" FAIL "$start" "$(log_lines)"
  else
    record "$1" "$2" "$(secs "$t0" "$t1")" "$start" "$(log_lines)"
  fi
}
check() { # what: fails the run when the expression is false
  local what="$1"
  shift
  "$@" || fail "$what"
}
same_file() { cmp -s "$1" "$2"; }
files_in_listing() { [ "$(grep -c '^-' "$1" 2>/dev/null || true)" -eq "$2" ]; }

# The workloads through a mount at $1.
mount_workloads() { # tool mountpoint run
  local tool="$1" m="$2" r="$3" o="$W/out/$1" up="incoming/up-$1-$3" cat_pid t0 t1 start
  mkdir -p "$o"
  rm -f "$o"/*
  measure lsR-cold "$tool" "ls -lR '$m/tree' >'$o/lsR-cold'"
  check "$tool: cold ls -lR did not show 200 files" files_in_listing "$o/lsR-cold" 200
  measure lsR-warm "$tool" "ls -lR '$m/tree' >'$o/lsR-warm'"
  check "$tool: warm ls -lR did not show 200 files" files_in_listing "$o/lsR-warm" 200
  measure small "$tool" "cd '$m/tree' && xargs -a '$W/small.names' cat | cksum >'$o/small'"
  check "$tool: the 200 small files differ" same_file "$o/small" "$W/small.sum"
  measure cat16 "$tool" "cat '$m/big16.bin' | cksum >'$o/big16'"
  check "$tool: the 16 MiB file differs" same_file "$o/big16" "$W/big16.sum"
  measure four "$tool" "for i in 1 2 3 4; do cat '$m/four-'\$i.bin | cksum >'$o/four-'\$i & done; wait"
  for i in 1 2 3 4; do check "$tool: 4 MiB file $i differs" same_file "$o/four-$i" "$W/four-$i.sum"; done
  measure cp "$tool" "cp -r '$LOCAL' '$m/$up'"
  check "$tool: the copied tree differs on the server" diff -r "$LOCAL" "$ROOT/$up"
  rm -rf "${ROOT:?}/$up"
  # 6: the directory is listed first (untimed); the ls is timed 1 s after the cat started. The
  # cat's output is drained at 16 MiB/s, so it still runs then (the proxy does not limit
  # bandwidth: an unhindered cat of 64 MiB ends in about half a second).
  ls -l "$m/tree/dir07" >/dev/null
  settle
  bash -c "timeout $TMO cat '$m/big64.bin' | timeout $TMO $PY '$SLOW' 16" &
  cat_pid=$!
  sleep 1
  # Only the ls's own commands count here (the cat's RETR came before).
  start="$(log_lines)"
  t0=$EPOCHREALTIME
  if timeout "$TMO" ls -l "$m/tree/dir07" >"$o/busy-ls"; then
    t1=$EPOCHREALTIME
    record lsbusy "$tool" "$(secs "$t0" "$t1")" "$start" "$(log_lines)"
    if kill -0 "$cat_pid" 2>/dev/null; then BUSY["$r|$tool"]=yes; else BUSY["$r|$tool"]=no; fi
    check "$tool: ls -l during the cat did not show 10 files" files_in_listing "$o/busy-ls" 10
  else
    record lsbusy "$tool" FAIL "$start" "$(log_lines)"
    fail "$tool: ls -l during the cat failed"
  fi
  wait "$cat_pid" || fail "$tool: the 64 MiB cat failed"
  settle
}

cat >"$SLOW" <<'EOF'
import sys, time
# Reads standard input to its end at no more than argv[1] MiB/s, in 1 MiB pieces.
rate = float(sys.argv[1]) * 1048576
start, total = time.monotonic(), 0
while True:
    piece = sys.stdin.buffer.read(1048576)
    if not piece:
        break
    total += len(piece)
    ahead = start + total / rate - time.monotonic()
    if ahead > 0:
        time.sleep(ahead)
EOF

# lftp: one session per workload; the time runs between marks written from inside the session
# after the login, so it leaves the login out as the mounts do.
cat >"$MARK" <<EOF
#!/bin/sh
echo "\$(date +%s.%N) \$(wc -l <'$LOG')" >>"\$1"
EOF
chmod 755 "$MARK"
lftp_session() { # marks-file script-lines...: runs one lftp session, marks written by !MARK
  local marks="$1" script="$W/lftp.script" rc=0
  shift
  : >"$marks"
  {
    echo "set net:max-retries 2"
    echo "set net:timeout 60"
    echo "set cmd:fail-exit yes"
    echo "set xfer:clobber on"
    echo "open -p $PORT 127.0.0.2"
    printf '%s\n' "$@"
  } >"$script"
  timeout "$TMO" lftp -f "$script" >"$W/lftp.out" 2>&1 || rc=$?
  settle
  [ "$rc" -eq 0 ] || { fail "lftp session failed ($rc): $(tail -3 "$W/lftp.out")"; return 1; }
}
lftp_record() { # marks-file workload...: one workload for each pair of adjacent marks
  local marks="$1" i=1 w a b ta la tb lb
  shift
  for w in "$@"; do
    a="$(sed -n "${i}p" "$marks")"
    b="$(sed -n "$((i + 1))p" "$marks")"
    if [ -z "$b" ]; then
      record "$w" lftp FAIL 0 0
    else
      read -r ta la <<<"$a"
      read -r tb lb <<<"$b"
      record "$w" lftp "$(secs "$ta" "$tb")" "$la" "$lb"
    fi
    i=$((i + 1))
  done
}
lftp_workloads() { # run
  local r="$1" o="$W/out/lftp" mk="$W/lftp.marks" up="incoming/up-lftp-$1" names i s
  mkdir -p "$o"
  rm -f "$o"/*
  lftp_session "$mk" "cd /tree" "!$MARK $mk" "find -l . >$o/lsR-cold" "!$MARK $mk" \
    "find -l . >$o/lsR-warm" "!$MARK $mk" || true
  lftp_record "$mk" lsR-cold lsR-warm
  check "lftp: cold find -l did not show 200 files" files_in_listing "$o/lsR-cold" 200
  check "lftp: warm find -l did not show 200 files" files_in_listing "$o/lsR-warm" 200
  names="$(tr '\n' ' ' <"$W/small.names")"
  lftp_session "$mk" "cd /tree" "!$MARK $mk" "cat $names | cksum >$o/small" "!$MARK $mk" || true
  lftp_record "$mk" small
  check "lftp: the 200 small files differ" same_file "$o/small" "$W/small.sum"
  lftp_session "$mk" "cd /" "!$MARK $mk" "cat big16.bin | cksum >$o/big16" "!$MARK $mk" || true
  lftp_record "$mk" cat16
  check "lftp: the 16 MiB file differs" same_file "$o/big16" "$W/big16.sum"
  s=()
  for i in 1 2 3 4; do s+=("cat four-$i.bin | cksum >$o/four-$i &"); done
  lftp_session "$mk" "cd /" "!$MARK $mk" "${s[@]}" "wait all" "!$MARK $mk" || true
  lftp_record "$mk" four
  for i in 1 2 3 4; do check "lftp: 4 MiB file $i differs" same_file "$o/four-$i" "$W/four-$i.sum"; done
  lftp_session "$mk" "cd /" "!$MARK $mk" "mirror -R $LOCAL $up" "!$MARK $mk" || true
  lftp_record "$mk" cp
  check "lftp: the mirrored tree differs on the server" diff -r "$LOCAL" "$ROOT/$up"
  rm -rf "${ROOT:?}/$up"
  # 6: the listing comes from lftp's own cache while the cat runs as a background job; the third
  # mark, after the job's end, shows whether the cat still ran when the ls was done.
  lftp_session "$mk" "cd /" "ls tree/dir07 >/dev/null" "cat big64.bin | $PY $SLOW 16 &" "!sleep 1" \
    "!$MARK $mk" "ls tree/dir07 >$o/busy-ls" "!$MARK $mk" "wait all" "!$MARK $mk" || true
  lftp_record "$mk" lsbusy
  check "lftp: ls during the cat did not show 10 files" files_in_listing "$o/busy-ls" 10
  # shellcheck disable=SC2046
  set -- $(sed -n '2p;3p' "$mk" | awk '{ print $1 }')
  if [ $# -eq 2 ] && awk -v a="$1" -v b="$2" 'BEGIN { exit !(b - a > 0.5) }'; then
    BUSY["$r|lftp"]=yes
  else
    BUSY["$r|lftp"]=no
  fi
}

order() { # run -> the tools, starting at a different one each run
  local i n=${#TOOLS[@]}
  for ((i = 0; i < n; i++)); do echo "${TOOLS[((i + $1 - 1) % n)]}"; done
}
LOAD_START="$(cut -d' ' -f1-3 /proc/loadavg)"
LOADS=""
T_START=$EPOCHREALTIME
for r in $(seq "$RUNS"); do
  for tool in $(order "$r"); do
    LOADS+="run $r $tool $(cut -d' ' -f1 /proc/loadavg); "
    echo "== run $r: $tool (load $(cut -d' ' -f1 /proc/loadavg))"
    case "$tool" in
      veldra)
        veldra_up
        mount_workloads veldra "$DRIVE" "$r"
        veldra_down
        ;;
      rclone)
        rclone_up
        mount_workloads rclone "$RCDIR" "$r"
        rclone_down
        ;;
      lftp) lftp_workloads "$r" ;;
    esac
    line=""
    for w in lsR-cold lsR-warm small cat16 four cp lsbusy; do
      read -ra v <<<"${T[$w|$tool]:-n/a}"
      line+="$w ${v[${#v[@]} - 1]} "
    done
    echo "   $line"
  done
done
LOAD_END="$(cut -d' ' -f1-3 /proc/loadavg)"
ELAPSED="$(secs "$T_START" "$EPOCHREALTIME")"

# ---- report ----
median() { # values... (FAIL sorts last)
  local v
  v="$(printf '%s\n' "$@" | sed 's/FAIL/9e99/' | sort -g | sed -n "$((($# + 1) / 2))p")"
  [ "$v" = 9e99 ] && echo FAIL || echo "$v"
}
WORKLOADS=(lsR-cold lsR-warm small cat16 four cp lsbusy)
label() {
  case "$1" in
    lsR-cold) echo "1. ls -lR of the tree, cold" ;;
    lsR-warm) echo "1. ls -lR of the tree, warm" ;;
    small) echo "2. cat of the 200 files of 4 KiB" ;;
    cat16) echo "3. cat of the 16 MiB file" ;;
    four) echo "4. 4 readers of 4 MiB files at once" ;;
    cp) echo "5. cp -r of 20 files of 4 KiB in" ;;
    lsbusy) echo "6. ls -l during a 64 MiB cat" ;;
  esac
}
med() { # workload tool
  local v="${T[$1|$2]:-}"
  # shellcheck disable=SC2086
  if [ -n "$v" ]; then median $v; else echo "n/a"; fi
}
cmds() { # workload tool: the median of the runs' command totals
  local v="${N[$1|$2]:-}"
  # shellcheck disable=SC2086
  if [ -n "$v" ]; then median $v; else echo "n/a"; fi
}
ratio() { # other veldra: the other's time over veldra's, two decimals below 10, whole above
  awk -v o="$1" -v v="$2" 'BEGIN {
    if (o+0 > 0 && v+0 > 0) printf (o / v < 10 ? "%.2f" : "%.0f"), o / v; else print "n/a" }'
}
RTT=$((2 * DELAY_MS))
table() {
  echo "| workload | veldra (s) | veldra FTP commands | rclone mount (s) | rclone FTP commands | lftp (s) | lftp FTP commands | rclone / veldra | lftp / veldra |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for w in "${WORKLOADS[@]}"; do
    echo "| $(label "$w") | $(med "$w" veldra) | $(cmds "$w" veldra) | $(med "$w" rclone) | $(cmds "$w" rclone) | $(med "$w" lftp) | $(cmds "$w" lftp) | $(ratio "$(med "$w" rclone)" "$(med "$w" veldra)") | $(ratio "$(med "$w" lftp)" "$(med "$w" veldra)") |"
  done
}
commands() {
  echo "| workload | tool | FTP commands the server received (last run, by verb) | totals of each run |"
  echo "|---|---|---|---|"
  for w in "${WORKLOADS[@]}"; do
    for tool in "${TOOLS[@]}"; do
      [ -n "${C[$w|$tool]:-}" ] && echo "| $(label "$w") | $tool | ${C[$w|$tool]} | ${N[$w|$tool]} |"
    done
  done
  true
}
all_runs() {
  echo "| workload | tool | seconds of each run |"
  echo "|---|---|---|"
  for w in "${WORKLOADS[@]}"; do
    for tool in "${TOOLS[@]}"; do
      [ -n "${T[$w|$tool]:-}" ] && echo "| $(label "$w") | $tool | ${T[$w|$tool]} |"
    done
  done
  echo
  local r busy=""
  for r in $(seq "$RUNS"); do
    busy+="run $r:"
    for tool in "${TOOLS[@]}"; do busy+=" $tool ${BUSY[$r|$tool]:-n/a}"; done
    busy+="; "
  done
  echo "Workload 6, whether the 64 MiB cat still ran when the ls ended: ${busy%; }."
}
RC_NOTE=""
[ "${RC_FLAGS[*]}" = "--vfs-cache-mode off --dir-cache-time 0s" ] &&
  RC_NOTE=" (rclone takes 0s: it keeps no directory listing and lists the parent again for every lookup; the kernel's attribute time stays at its default 1 s, as veldra's)"
TITLE="Over a ${RTT} ms round trip: veldra beside rclone mount and lftp"

echo
echo "== $TITLE (medians of $RUNS runs, seconds; FTP commands: median of the runs' totals)"
table
echo
commands
echo
echo "load average: $LOAD_START at the start, $LOAD_END at the end; $ELAPSED s of runs"

if [ "$OUT" != "-" ]; then
  commit="$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  git -C "$repo" diff --quiet HEAD -- CMakeLists.txt cmake platform net ftp device drive app 2>/dev/null ||
    commit="$commit (with uncommitted changes to the program)"
  {
    echo
    echo "# $TITLE"
    echo
    echo "Appended by \`bench/latency.sh\` ($RUNS runs per figure, proxy delay ${DELAY_MS} ms each way)."
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), kernel $(uname -r), $(sed -n 's/^PRETTY_NAME="\(.*\)"$/\1/p' /etc/os-release)"
    echo "- Load average (1, 5, 15 min): $LOAD_START at the start, $LOAD_END at the end; 1-minute load as each tool's run began: ${LOADS%; } (the machine is shared with other engineers' builds and tests)"
    echo "- Versions: veldra $commit; vsftpd $(dpkg-query -W -f='${Version}' vsftpd); rclone $(rclone version 2>/dev/null | head -1 | awk '{ print $2 }'); lftp $(lftp --version | head -1 | sed -E 's/.*Version ([^ ]+).*/\1/'); $("$PY" --version 2>&1)"
    echo
    echo "## Medians of $RUNS runs"
    echo
    echo "Seconds; the FTP command columns are the median of the runs' totals (the log of the server); the ratio columns are the other tool's time divided by veldra's (above 1: veldra is faster)."
    echo
    table
    echo
    echo "## How it is measured"
    echo
    echo "- Server: vsftpd $(dpkg-query -W -f='${Version}' vsftpd) on 127.0.0.1, anonymous with write access, its files on tmpfs, protocol log on (\`log_ftp_protocol=YES\`), passive range of 100 ports announced as 127.0.0.2 (\`pasv_address\`); no MLSD (vsftpd does not offer it). Every tool reaches it through \`latency-proxy.py --listen 127.0.0.2 --target 127.0.0.1 --delay-ms $DELAY_MS\` on the control port and the passive range: ${RTT} ms per round trip. The proxy delays data, not the TCP handshake, so opening a data connection costs no round trip of its own here (on a real link it costs one more), and it does not limit bandwidth."
    echo "- veldra: \`veldra $LETTER: 127.0.0.2 /PORT:<port>\` with its defaults (anonymous, \`/SESSIONS:4\`, \`/CACHE:30\`); rclone: \`rclone mount\` of an FTP remote made from \`RCLONE_CONFIG_*\` variables (anonymous, defaults otherwise) with \`${RC_FLAGS[*]}\`$RC_NOTE; lftp: \`lftp -f script\`, its defaults (\`ftp:sync-mode on\`, listing cache on) with \`net:max-retries 2\`, \`net:timeout 60\`, \`cmd:fail-exit yes\`, \`xfer:clobber on\`."
    echo "- Each run takes the tools in a rotated order. A mount is made fresh for each run and holds the workloads 1 to 6 in that order (so 2 starts after the listings of 1), then is unmounted; only one tool talks to the server at a time. lftp runs one fresh session per workload; its time runs between marks written from inside the session (\`!\` command) after the login, as the mounts' logins lie before the timing."
    echo "- 1: \`ls -lR tree\` on the mounts (20 directories x 10 files of 4 KiB); lftp \`find -l .\` in \`/tree\` (cold: the first in a fresh session, warm: the second in the same session). 2: one \`cat\` of the 200 files (\`xargs cat | cksum\`; lftp \`cat <200 names> | cksum\`). 3: \`cat | cksum\` of 16 MiB. 4: four \`cat | cksum\` in the background, then \`wait\` (lftp: four \`cat ... &\` jobs and \`wait all\`). 5: \`cp -r\` of a local tree of 20 files of 4 KiB into a new directory (lftp \`mirror -R\`), compared with the server's copy after. 6: \`ls -l\` of \`tree/dir07\` (listed just before, untimed) 1 s after a \`cat\` of the 64 MiB file started, whose output is drained at 16 MiB/s so that it still runs then (the proxy does not limit bandwidth: unhindered, the cat ends within about half a second); lftp: \`ls\` in the session that listed it, the cat a background job of that session; the FTP commands of 6 are those of the ls alone. Every read is checked against the server's files."
    echo "- FTP commands: the \`FTP command:\` lines of the server's log from the start of a workload until the log was still for 0.2 s after it (at most 3 s), so commands sent just after a command returned still count; lftp's count leaves out its login as its time does."
    echo
    echo "## FTP commands per workload"
    echo
    commands
    echo
    echo "## Every run"
    echo
    all_runs
  } >>"$OUT"
  echo "appended to $OUT"
fi
[ "$FAILS" -eq 0 ] || { echo "$FAILS failures (see above)" >&2; exit 1; }
