#!/bin/sh
# Downloads one package from nginx held to a link's speed with limit_rate, with `kavrin
# download` (which checks its SHA-256; the manifest comes from `kavrin sim-server`, which names
# the package on nginx) and with `curl -o` (pinning the same key), each timed as a whole process
# in alternating pairs, and prints one line per rate:
#   download_at_link_speed rate=<MB/s> ours=<MB/s>[min..max] anchor=<MB/s>[min..max] ratio=<r>[min..max]
# for 125 MB/s (1 Gbit/s) and 12.5 MB/s (100 Mbit/s): at the speeds people download at, the hash
# must not show. Each figure is the median over the pairs, then [min..max]; the ratio is ours
# over the anchor's (higher is better), then the pairs' own ratios.
# The package is sized to take KAVRIN_BENCH_LINK_SECONDS (default 8) at each rate, so that
# starting a process is a small part of the time; nginx (nginx-light) must be installed.
# Usage: bench/link_speed_bench.sh [build tree] (default build-bench; built in Release if new)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KAVRIN_BENCH_BUILD:-$root/build-bench}}
seconds=${KAVRIN_BENCH_LINK_SECONDS:-8}
pairs=5
nginx=$(command -v nginx || echo /usr/sbin/nginx)
if [ ! -x "$nginx" ]; then
    echo "link_speed_bench: needs nginx (scripts/install-deps installs nginx-light)" >&2
    exit 1
fi
. "$root/bench/download_common.sh"
build_kavrin
work=$(cd "$(mktemp -d "$build/link-bench.XXXXXX")" && pwd)
server=""
nginx_pid=""
trap '[ -n "$server" ] && kill -INT "$server" 2>/dev/null
      [ -n "$nginx_pid" ] && kill -TERM "$nginx_pid" 2>/dev/null; rm -rf "$work"' EXIT
pin=$(dev_key_pin)
cert=$root/testkit/keys/dev-server-cert.pem
host=update-test.kavrin.example

# nginx on a free loopback port, one location per rate; its workers read the files as root.
nginx_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user=""
[ "$(id -u)" -eq 0 ] && user="user root;"
mkdir -p "$work/www/r125000000" "$work/www/r12500000"
cat >"$work/nginx.conf" <<EOF
daemon off;
$user
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/body; proxy_temp_path $work/proxy; fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
  sendfile on;
  types { application/vnd.vexaltronic.fota.update bin; }
  server {
    listen 127.0.0.1:$nginx_port ssl;
    ssl_certificate $cert;
    ssl_certificate_key $root/testkit/keys/dev-server-key.pem;
    root $work/www;
    location /r125000000/ { limit_rate 125000000; }
    location /r12500000/ { limit_rate 12500000; }
  }
}
EOF
"$nginx" -c "$work/nginx.conf" -p "$work/" -e "$work/error.log" &
nginx_pid=$!
python3 - "$nginx_port" <<'PY'
import socket, sys, time
for _ in range(200):
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1]))).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit("nginx did not start")
PY

for rate in 125000000 12500000; do
    size=$((rate * seconds))
    base=https://127.0.0.1:$nginx_port/r$rate
    start_sim_server "$work/server.out" --sim-package-size "$size" --sim-package-base "$base"
    # The package nginx serves is the simulated server's own.
    curl -sS --http1.1 -o "$work/www/r$rate/kavrin-sim-update.bin" --cacert "$cert" \
        --pinnedpubkey "sha256//$pin" --connect-to "$host:443:127.0.0.1:$port" \
        "https://$host/packages/kavrin-sim-update.bin"
    python3 - "$work" "$size" "$pairs" "$rate" "$kavrin" "$port" "$base" "$pin" "$cert" <<'PY'
import os, shutil, statistics, subprocess, sys, time

work, size, pairs, rate, kavrin, port, base, pin, cert = sys.argv[1:]
size, pairs, rate = int(size), int(pairs), int(rate)


def timed(command, output):
    """Seconds of one whole process that must leave `size` bytes in `output`."""
    started = time.monotonic()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    seconds = time.monotonic() - started
    if os.path.getsize(output) != size:
        sys.exit("link_speed_bench: %s holds %d bytes" % (output, os.path.getsize(output)))
    return seconds


def ours():
    workdir = os.path.join(work, "kavrin")
    shutil.rmtree(workdir, ignore_errors=True)
    seconds = timed([kavrin, "download", "YAV:0", "--workdir", workdir, "--sim-address",
                     "127.0.0.1:" + port], os.path.join(workdir, "kavrin-sim-update.bin"))
    shutil.rmtree(workdir)
    return seconds


def anchor():
    target = os.path.join(work, "curl.bin")
    seconds = timed(["curl", "-sS", "--http1.1", "-o", target, "--cacert", cert,
                     "--pinnedpubkey", "sha256//" + pin, base + "/kavrin-sim-update.bin"], target)
    os.remove(target)
    return seconds


results = []
for pair in range(pairs):
    first, second = (ours, anchor) if pair % 2 == 0 else (anchor, ours)
    done = {first: first(), second: second()}
    results.append((size / 1e6 / done[ours], size / 1e6 / done[anchor]))


def spread(values):
    return "%.1fMB/s[%.1f..%.1f]" % (statistics.median(values), min(values), max(values))


mine = [o for o, _ in results]
theirs = [a for _, a in results]
ratios = [o / a for o, a in results]
print("download_at_link_speed rate=%.1fMB/s ours=%s anchor=%s ratio=%.3f[%.3f..%.3f]" % (
    rate / 1e6, spread(mine), spread(theirs), statistics.median(mine) / statistics.median(theirs),
    min(ratios), max(ratios)))
PY
    kill -INT "$server"
    wait "$server" || true
    server=""
    rm -f "$work/www/r$rate/kavrin-sim-update.bin"
done
