#!/usr/bin/env bash
# The main job, start to end: installs the packages, builds the program (Release, no sanitizers),
# publishes a small release of the client and of the updater with the release fixtures tool,
# serves it with nginx on 127.0.0.1, updates an old installation through both phases of the
# program (offscreen, no display needed), shows what happened, verifies the installed tree
# (bytes and modes) against the new release and stops nginx.
#   VX_DEMO_SKIP_DEPS=1    skip the package installation (already done)
#   VX_DEMO_BUILD_DIR=dir  build folder, relative to the source tree or absolute (default build/demo)
#   VX_DEMO_TMPDIR=dir     the updater's temporary folder (TMPDIR), where its work folder goes, for
#                          example on another file system: VX_DEMO_TMPDIR=/dev/shm/x (default: inside
#                          the demo folder)
#   VX_DEMO_KEEP=1         keep the demo folder for a look afterwards
#   VX_DEMO_JOBS=n         parallel build jobs (default: all processors)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
# Modes of the release trees are compared with the installation's: no group or other write bits.
umask 022

step() { printf '\n==> %s\n' "$*"; }

if [ "${VX_DEMO_SKIP_DEPS:-0}" != 1 ]; then
  step "Installing the packages"
  bash scripts/install-deps.sh
fi

step "Building the program and the release tool (Release, no sanitizers)"
build=${VX_DEMO_BUILD_DIR:-build/demo}
case "$build" in /*) ;; *) build="$source_dir/$build" ;; esac
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVX_SANITIZERS= -DVX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "${VX_DEMO_JOBS:-$(nproc)}" --target update vx3_mkrelease
program="$build/src/update"
mkrelease="$build/tests/support/vx3_mkrelease"

demo=$(mktemp -d /tmp/vx3-demo.XXXXXX)
tmp=${VX_DEMO_TMPDIR:-$demo/tmp}
tmp_made=""
[ -e "$tmp" ] || tmp_made=1
mkdir -p "$tmp"
tmp=$(cd "$tmp" && pwd -P)
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill "$nginx_pid"
    wait "$nginx_pid" 2>/dev/null || true
    echo "nginx stopped"
  fi
  # An updater that failed keeps its window open on an error box: end the ones started here.
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$demo"/*|"$tmp"/*) pid=${exe#/proc/}; kill -9 "${pid%/exe}" 2>/dev/null || true ;;
    esac
  done
  if [ "${VX_DEMO_KEEP:-0}" = 1 ]; then
    echo "demo folder kept: $demo (temporary folder $tmp)"
  else
    rm -rf "$demo"
    if [ -n "$tmp_made" ]; then rm -rf "$tmp"; fi
  fi
}
trap cleanup EXIT

version=7
install="$demo/install"
old="$demo/old-client"
new="$demo/new-client"
updater="$demo/new-updater"
server="$demo/server"
marker="$demo/client-started"

step "Making an old installation (release 6) and the new release (7) in $demo"
mkdir -p "$old/lib" "$old/sounds" "$old/plugins/old" "$old/tools" "$new/lib" "$new/sounds/extra" \
  "$new/tools" "$updater"
for tree in "$old" "$new" "$updater"; do install -m 755 "$program" "$tree/update"; done
for tree in "$old" "$new"; do
  printf '#!/bin/sh\n# Voxmere 3 Client, release %s\npwd > "%s"\n' \
    "$([ "$tree" = "$old" ] && echo 6 || echo 7)" "$marker" > "$tree/vx3client_runscript.sh"
  chmod 755 "$tree/vx3client_runscript.sh"
done
# Two small programs of one package stand in for two builds of the client's executable.
cp /bin/true "$old/vx3client_linux_x86"
cp /bin/false "$new/vx3client_linux_x86"
head -c 200000 /dev/urandom > "$old/lib/libvx3voice.so.1"
{ cat "$old/lib/libvx3voice.so.1"; echo "release 7 codec tables"; } > "$new/lib/libvx3voice.so.1"
chmod 755 "$old/lib/libvx3voice.so.1" "$new/lib/libvx3voice.so.1"
# A script off the executable list: the update keeps its mode, also across file systems.
for n in 6 7; do
  tree=$([ $n = 6 ] && echo "$old" || echo "$new")
  printf '#!/bin/sh
echo "voice check of release %s"
' $n > "$tree/tools/voicecheck.sh"
  chmod 755 "$tree/tools/voicecheck.sh"
done
for n in 6 7; do
  tree=$([ $n = 6 ] && echo "$old" || echo "$new")
  for i in $(seq 40); do echo "Voxmere 3 Client, release $n, line $i"; done > "$tree/readme.txt"
  echo "updater notes of release $n" > "$tree/updater.txt"
done
cp "$new/updater.txt" "$updater/updater.txt"
head -c 5000 /dev/zero | tr '\0' 'r' > "$old/sounds/ring.dat"
cp "$old/sounds/ring.dat" "$new/sounds/ring.dat"
head -c 3000 /dev/zero | tr '\0' 'c' > "$new/sounds/extra/chime.dat"
echo "dropped in release 7" > "$old/gone.txt"
echo "old plugin" > "$old/plugins/old/a.so"
cp -a "$old" "$install"

step "Publishing release $version with the release fixtures tool"
"$mkrelease" --product update --release $version --old "$old" --new "$updater" --out "$server" \
  --gzip update --gzip '*.txt'
"$mkrelease" --product client --release $version --old "$old" --new "$new" --out "$server" \
  --gzip update --gzip '*.txt'
echo "product ini of the client:"
sed 's/^/    /' "$server/$version/vx3_client_linux_x86.ini"

step "Serving $server with nginx on 127.0.0.1"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$demo/nginx"
cat > "$demo/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log warn;
events { worker_connections 64; }
http {
    access_log $demo/nginx/access.log;
    client_body_temp_path $demo/nginx/body;
    proxy_temp_path $demo/nginx/proxy;
    fastcgi_temp_path $demo/nginx/fastcgi;
    uwsgi_temp_path $demo/nginx/uwsgi;
    scgi_temp_path $demo/nginx/scgi;
    default_type application/octet-stream;
    server { listen 127.0.0.1:$port; root $server; }
}
EOF
/usr/sbin/nginx -p "$demo/nginx" -e "$demo/nginx/error.log" -c "$demo/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done
echo "nginx (pid $nginx_pid) serves http://127.0.0.1:$port/"

step "Pointing the updater at it: update.ini [Channel] in VX3_CONFIG_DIR"
mkdir -p "$demo/config" "$demo/home"
printf '[Channel]\nalpha=http://127.0.0.1:%s/\nalphaRevno=%s\n' "$port" "$version" \
  > "$demo/config/update.ini"
sed 's/^/    /' "$demo/config/update.ini"
touch "$tmp/vx3_update_log"

# The updater's own work folders: numbered ones, and random-name ones holding its marker (a
# folder of the user's with a name alike is not one).
work_folders() {
  local dir name
  for dir in "$tmp"/voxmere_temp_*/; do
    dir=${dir%/}
    name=${dir##*/voxmere_temp_}
    if [[ $name =~ ^(0|[1-9][0-9]{0,2})$ ]] || [ -e "$dir/.voxmere_work_folder" ]; then
      echo "$dir"
    fi
  done
}

step "Running the installed updater: phase 1 builds the new updater and starts it, phase 2 updates the client"
echo "temporary folder of the updater: $tmp ($(stat -f -c %T "$tmp"); installation on $(stat -f -c %T "$demo"))"
export QT_QPA_PLATFORM=offscreen TMPDIR="$tmp" HOME="$demo/home" VX3_CONFIG_DIR="$demo/config"
start=$(date +%s)
"$install/update" || { echo "phase 1 ended with exit code $?"; }
echo "phase 1 ended; waiting for phase 2 to start the client"
for _ in $(seq 300); do
  [ -e "$marker" ] && [ -z "$(work_folders)" ] && break
  sleep 0.5
done
unset QT_QPA_PLATFORM TMPDIR HOME VX3_CONFIG_DIR

step "What the updater did (its log files)"
for log in "$tmp"/voxmere_update_log/*.log; do
  echo "--- $(basename "$log")"
  grep -E 'parseCommandLineOptions|channel detected|previous session|RSA check|Found patch|Extracting updater|ApplyEnsemblePatch status|unpackFile|Deleted file|Recursively deleted|startClientUpdater|startVx3Client|onUpdateFinished|[Ff]ailed|rolling back' \
    "$log" | sed -e 's/^[^|]*|[^|]*|\t*/    /' -e "s|$demo/||g" | cut -c1-160 || true
done
echo "--- requests nginx answered:"
awk '$7 != "/" {print "    " $7, $9}' "$demo/nginx/access.log"

step "Verifying"
ok=1
if [ -e "$marker" ] && [ "$(cat "$marker")" = "$install" ]; then
  echo "the client's run script of release 7 was started in $install"
else
  echo "the client's run script was not started"; ok=0
fi
if diff -r "$install" "$new" >/dev/null; then
  echo "the installation is byte-identical to release 7 ($(find "$install" -type f | wc -l) files)"
else
  echo "the installation differs from release 7:"; diff -r "$install" "$new" || true; ok=0
fi
modes() { (cd "$1" && find . -type f -printf '%m %P\n' | sort -k2); }
if [ "$(modes "$install")" = "$(modes "$new")" ]; then
  echo "the installed files have the modes of release 7"
else
  echo "the modes differ from release 7 (< release 7, > installed):"
  diff <(modes "$new") <(modes "$install") || true; ok=0
fi
writable=$(find "$install" -perm /022 ! -type l)
if [ -z "$writable" ]; then
  echo "nothing in the installation is writable by group or others"
else
  echo "writable by group or others:"; echo "$writable" | sed 's/^/    /'; ok=0
fi
if [ -n "$(work_folders)" ]; then
  echo "a working directory was left behind"; ok=0
fi
echo "took $(( $(date +%s) - start )) s"
if [ $ok = 1 ]; then echo "DEMO PASSED"; else echo "DEMO FAILED"; exit 1; fi
