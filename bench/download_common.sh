# Sourced by the download benchmarks, with $root and $build set.

# build_kavrin: configures $build in Release when it is new, builds kavrin there and sets
# $kavrin to the program.
build_kavrin() {
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVRIN_BUILD_TESTS=OFF >/dev/null
    fi
    cmake --build "$build" -j2 --target kavrin >/dev/null
    kavrin=$build/host/kavrin
}

# start_sim_server OUTPUT [ARGUMENTS...]: runs `kavrin sim-server ARGUMENTS` in the background,
# its standard output in OUTPUT; sets $server to its process id and $port to its port once it
# listens.
start_sim_server() {
    output=$1
    shift
    "$kavrin" sim-server "$@" >"$output" 2>"$output.err" &
    server=$!
    python3 - "$output" <<'PY'
import sys, time
for _ in range(200):
    if "127.0.0.1:" in open(sys.argv[1]).read():
        sys.exit(0)
    time.sleep(0.05)
sys.exit("the simulated server did not start")
PY
    port=$(sed -n 's/^Simulated update server on 127.0.0.1:\([0-9]*\)$/\1/p' "$output")
}

# The pin of the development key, as curl's --pinnedpubkey takes it after "sha256//".
dev_key_pin() {
    openssl pkey -in "$root/testkit/keys/dev-server-key.pem" -pubout -outform DER |
        openssl dgst -sha256 -binary | base64
}
