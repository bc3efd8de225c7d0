#!/usr/bin/env bash
# remote-cache-demo.sh [KIV]: builds the example project with Bazel twice, from two separate
# output bases (two machines), sharing a remote cache that nginx's WebDAV module serves on
# loopback. The second build takes every kiv action from the cache; the archives of both builds
# are compared with the ones kiv makes when run on the project itself (as make demo runs it).
# KIV is the kiv binary to use (default: the build's). Run from examples/bazel/. Exit status 77
# (and a line saying why) where Bazel or nginx is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
kiv=$(realpath "${1:-$here/../../build/kiv}")
nginx=$(command -v nginx || echo /usr/sbin/nginx)
# Where Bazel or nginx cannot run: a line that says so and status 77 (a skip), or a failure
# where KIV_REQUIRE_BAZEL is set (CI).
skip() {
  if [ -n "${KIV_REQUIRE_BAZEL:-}" ]; then
    echo "remote-cache-demo: $1, and KIV_REQUIRE_BAZEL is set"
    exit 1
  fi
  echo "remote-cache-demo: skipped: $1"
  exit 77
}
command -v bazel > /dev/null || skip "no bazel (Debian package bazel-bootstrap)"
[ -x "$nginx" ] || skip "no nginx (Debian package nginx-light)"
bazel --batch help > /dev/null 2>&1 || skip "bazel cannot start here"
[ -x "$kiv" ] || { echo "remote-cache-demo: no kiv at $kiv"; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/kiv-bazel-XXXXXX")
bases=()
finish() {
  for base in "${bases[@]}"; do bazel --output_base="$base" shutdown > /dev/null 2>&1 || true; done
  [ -f "$work/nginx/nginx.pid" ] && kill "$(cat "$work/nginx/nginx.pid")" 2> /dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# The cache: nginx on a free loopback port, storing what Bazel PUTs under cache/.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/cache" "$work/nginx/logs"
cat > "$work/nginx/nginx.conf" << CONF
$( [ "$(id -u)" = 0 ] && echo "user root;" )
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events {}
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  client_max_body_size 0;
  server {
    listen 127.0.0.1:$port;
    root $work/nginx/cache;
    location / {
      dav_methods PUT;
      create_full_put_path on;
      dav_access user:rw;
    }
  }
}
CONF
"$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf"
for _ in $(seq 50); do
  (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && break
  sleep 0.1
done
echo "remote cache: nginx WebDAV on http://127.0.0.1:$port"

options=(--symlink_prefix=/ --repo_env=KIV_BINARY="$kiv" --remote_cache="http://127.0.0.1:$port")
for machine in 1 2; do
  base="$work/machine$machine"
  bases+=("$base")
  echo "machine $machine: bazel build //:all"
  if ! bazel --output_base="$base" build "${options[@]}" //:all > "$work/build$machine.log" 2>&1; then
    tail -30 "$work/build$machine.log"
    echo "remote-cache-demo: the build on machine $machine failed"
    exit 1
  fi
  grep -E "^INFO: ([0-9]+ processes|Elapsed time|Build completed)" "$work/build$machine.log" \
    | uniq | sed 's/^/  /'
  bin=$(bazel --output_base="$base" info "${options[@]}" bazel-bin 2> /dev/null)
  mkdir -p "$work/out$machine"
  cp "$bin"/*.kiv "$work/out$machine/"
done

# Every kiv action of the second machine came from the cache.
actions=$(ls "$work/out2" | wc -l)
if ! grep -Eq "^INFO: [0-9]+ processes: $actions remote cache hit" "$work/build2.log"; then
  echo "remote-cache-demo: machine 2 did not take its $actions kiv actions from the cache"
  exit 1
fi

# The archives kiv makes on the project itself, as make demo runs it.
cp -r ../project "$work/reference"
(cd "$work/reference" && for s in *.scp *.lnk; do "$kiv" -q "$s" > /dev/null; done)
for archive in "$work"/out1/*.kiv; do
  name=$(basename "$archive")
  cmp -s "$archive" "$work/out2/$name" && cmp -s "$archive" "$work/reference/$name" || {
    echo "remote-cache-demo: $name differs between the builds or from kiv's own"
    exit 1
  }
done
echo "archives: $(cd "$work/out1" && echo *.kiv) identical on both machines and to kiv's own"

# A job that reads a file it did not declare fails in the sandbox, with kiv's own message.
if bazel --output_base="$work/machine1" build "${options[@]}" //:undeclared \
    > "$work/undeclared.log" 2>&1; then
  echo "remote-cache-demo: a job reading an undeclared file was built"
  exit 1
fi
grep -m1 "error: LOADPCX" "$work/undeclared.log" | sed 's/^/undeclared input: /'
