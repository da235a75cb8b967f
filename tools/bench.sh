#!/usr/bin/env bash
# Builds and runs the benchmarks, each printing its figures. Starts the test servers for
# the ones that need a server (and stops them after, unless they were already running).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
ninja -C build bench_discovery bench_read_columns bench_startup bench_create bench_history brolix-cli

if ! /usr/bin/python3 tools/ping.py 127.0.0.11 2>/dev/null; then
  tools/servers.sh start
  trap 'tools/servers.sh stop' EXIT
fi

echo "== discovery, in memory"
build/bench/bench_discovery
echo "== reading one table's columns"
build/bench/bench_read_columns --server 127.0.0.11
echo "== start-up"
build/bench/bench_startup --server 127.0.0.11
echo "== creation, synchronisation and saving, 0, 1 and 20 ms added per request (latency proxy on 127.0.0.50)"
build/bench/bench_create --server 127.0.0.11 --proxy 127.0.0.50
echo "== the schema's history: storage of a save, listing ten thousand versions"
build/bench/bench_history --server 127.0.0.11
