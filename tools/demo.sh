#!/usr/bin/env bash
# Builds the editor, starts FerretDB on 127.0.0.1 with the demo data database and opens
# the editor on it. The first start offers to create the schema "brolix_demo_schema".
# Arguments go to the editor. BROLIX_DEMO_HOST picks another loopback address (the
# end-to-end tests use one of their own); BROLIX_DEMO_KEEP_DATA=1 keeps the data as it is;
# BROLIX_DEMO_DUMP names the dump file.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
ninja -C build brolix
host=${BROLIX_DEMO_HOST:-127.0.0.1}
tools/servers.sh start-demo "$host"
if [ "${BROLIX_DEMO_KEEP_DATA:-0}" != 1 ]; then
  /usr/bin/python3 tools/demo_data.py "$host" brolix_demo
fi
exec build/brolix -ds "$host" -db brolix_demo -ss "$host" -sc brolix_demo_schema \
  -debug "${BROLIX_DEMO_DUMP:-$top/build/demo-dump.txt}" "$@"
