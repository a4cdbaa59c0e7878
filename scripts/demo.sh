#!/usr/bin/env bash
# Veldra in one command: on a fresh Debian machine, as root,
#   scripts/demo.sh
# installs what it needs, builds veldra, starts a small FTP server (pyftpdlib) on 127.0.0.1
# with a few sample files, mounts it as drive X (the directory /mnt/x), and lists the drive.
# The server and the drive stay up afterwards; the script prints how to take them down.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

if [ "$(id -u)" != 0 ]; then
  echo "Mounting a drive needs root: run  sudo scripts/demo.sh" >&2
  exit 1
fi

echo "== 1. Packages"
packages=(build-essential cmake g++ pkg-config libssl-dev fuse3 libfuse3-dev python3 python3-pyftpdlib)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "all present"
fi

echo "== 2. Build"
build="$repo/build-demo"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELDRA_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target veldra
veldra="$build/app/veldra"

echo "== 3. FTP server"
demo=/tmp/veldra-demo
root="$demo/ftp-root"
# A drive and a server left by an earlier run of this script are taken down first.
if grep -q ' /mnt/x .* fuse\.VELDRA ' /proc/self/mountinfo; then
  "$veldra" X: /delete || true
  sleep 1
fi
if [ -f "$demo/ftpd.pid" ] && kill -0 "$(cat "$demo/ftpd.pid")" 2>/dev/null; then
  kill "$(cat "$demo/ftpd.pid")"
  sleep 1
fi
mkdir -p "$root/docs" "$root/pictures"
printf 'Hello from the FTP server.\nThis file lives in %s on the server.\n' "$root" >"$root/readme.txt"
printf 'Shopping list:\n- milk\n- bread\n' >"$root/docs/notes.txt"
printf 'name,size\nsunset.jpg,0\n' >"$root/pictures/index.csv"
head -c 1048576 /dev/urandom >"$root/random-1MiB.bin"
chmod -R a+rwX "$root"
# A free port: the first of 2121..2199 that nothing listens on.
port=""
for p in $(seq 2121 2199); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "no free port in 2121..2199" >&2; exit 1; }
nohup /usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -d "$root" -w \
  >"$demo/ftpd.log" 2>&1 &
echo $! >"$demo/ftpd.pid"
for _ in $(seq 1 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
echo "pyftpdlib serves $root on 127.0.0.1 port $port (anonymous login, log in $demo/ftpd.log)"

echo "== 4. Mount: veldra X: 127.0.0.1 /PORT:$port"
"$veldra" X: 127.0.0.1 "/PORT:$port"

echo "== 5. The drive"
echo "\$ ls -l /mnt/x"
ls -l /mnt/x
echo "\$ cat /mnt/x/readme.txt"
cat /mnt/x/readme.txt

cat <<DONE

Drive X is mounted at /mnt/x and stays mounted (served by a background veldra process).
Try:   ls -R /mnt/x ;  cp /mnt/x/docs/notes.txt /tmp/ ;  echo hi > /mnt/x/new.txt
Unmount the drive:    $veldra X: /delete
Stop the FTP server:  kill \$(cat $demo/ftpd.pid)
DONE
