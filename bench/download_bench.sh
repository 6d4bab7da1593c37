#!/bin/sh
# Downloads a 1 GiB package from the simulated update server's HTTPS front end on loopback, with
# `kavrin download` and with `curl -o` (pinning the same key), and prints:
#   download_throughput ours=<MB/s> anchor=<MB/s> ratio=<ours/anchor>
#   download_peak_rss ours=<MiB> anchor=<MiB> ratio=<anchor/ours>
# Throughput is the body's transfer: for kavrin from its request of the package to the end of
# the body (its log lines), so the checksum check that follows is left out; for curl the whole
# run. Peak RSS is of the whole process. Both clients use one server process (`kavrin
# sim-server`), HTTP/1.1, and write into /tmp; each figure is the median of five runs, taken in
# alternating order.
# Usage: bench/download_bench.sh [build tree] (default build-bench; built in Release if new)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KAVRIN_BENCH_BUILD:-$root/build-bench}}
size=1073741824
host=update-test.kavrin.example
url=https://$host/packages/kavrin-sim-update.bin

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVRIN_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target kavrin >/dev/null
kavrin=$build/host/kavrin
work=$(mktemp -d /tmp/kavrin-download-bench.XXXXXX)
server=""
trap '[ -n "$server" ] && kill -INT "$server" 2>/dev/null; rm -rf "$work"' EXIT

"$kavrin" sim-server --sim-package-size $size >"$work/server.out" 2>"$work/server.err" &
server=$!
python3 - "$work/server.out" <<'PY'
import sys, time
for _ in range(200):
    if "127.0.0.1:" in open(sys.argv[1]).read():
        sys.exit(0)
    time.sleep(0.05)
sys.exit("the simulated server did not start")
PY
port=$(sed -n 's/^Simulated update server on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/server.out")
pin=$(openssl pkey -in "$root/testkit/keys/dev-server-key.pem" -pubout -outform DER |
    openssl dgst -sha256 -binary | base64)

python3 - "$work" "$size" "$kavrin" "$port" "$url" "$host" "$pin" \
    "$root/testkit/keys/dev-server-cert.pem" <<'PY'
import os, resource, shutil, statistics, subprocess, sys, time

work, size, kavrin, port, url, host, pin, cert = sys.argv[1:]
size = int(size)

def run(command, mark_start=None, mark_end=None):
    """Seconds (whole run, or between the stderr lines holding the marks) and peak RSS in KiB."""
    started = time.monotonic()
    marks = {}
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True) as process:
        for line in process.stderr:
            for mark in (mark_start, mark_end):
                if mark and mark not in marks and mark in line:
                    marks[mark] = time.monotonic()
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
    ended = time.monotonic()
    if process.returncode != 0:
        sys.exit("%s failed with %d" % (command[0], process.returncode))
    if mark_start:
        started, ended = marks[mark_start], marks[mark_end]
    return ended - started, usage.ru_maxrss

def ours():
    workdir = os.path.join(work, "kavrin")
    shutil.rmtree(workdir, ignore_errors=True)
    result = run([kavrin, "download", "YAV:0", "--workdir", workdir, "--verbose",
                  "--sim-address", "127.0.0.1:" + port],
                 "Downloading delta file from:", "Starting hash calculation")
    assert os.path.getsize(os.path.join(workdir, "kavrin-sim-update.bin")) == size
    shutil.rmtree(workdir)
    return result

def anchor():
    target = os.path.join(work, "curl.bin")
    result = run(["curl", "-sS", "--http1.1", "-o", target, "--cacert", cert,
                  "--pinnedpubkey", "sha256//" + pin,
                  "--connect-to", "%s:443:127.0.0.1:%s" % (host, port), url])
    assert os.path.getsize(target) == size
    os.remove(target)
    return result

runs = {"ours": [], "anchor": []}
for round in range(5):
    # Alternating which side goes first evens out what the page cache did just before.
    for side, measure in sorted([("ours", ours), ("anchor", anchor)], reverse=round % 2 == 1):
        runs[side].append(measure())
rate = {side: size / 1e6 / statistics.median(s for s, _ in results)
        for side, results in runs.items()}
rss = {side: statistics.median(k for _, k in results) / 1024 for side, results in runs.items()}
print("download_throughput ours=%.0f anchor=%.0f ratio=%.3f"
      % (rate["ours"], rate["anchor"], rate["ours"] / rate["anchor"]))
print("download_peak_rss ours=%.1f anchor=%.1f ratio=%.3f"
      % (rss["ours"], rss["anchor"], rss["anchor"] / rss["ours"]))
PY
