#!/usr/bin/env bash
# Starts, stops and waits for the FerretDB servers of the tests (and of the demo).
#
#   servers.sh start        127.0.0.11 and 127.0.0.12 plain, 127.0.0.13 TLS; with users
#                           (SCRAM-SHA-256, first user root in admin, password brolix-root):
#                           127.0.0.70 plain, 127.0.0.71 on port 27018 with TLS
#   servers.sh stop         stops what `start` started
#   servers.sh start-demo [ADDRESS]   the demo server, 127.0.0.1 unless another loopback
#                                     address is given (unless a server already answers there)
#   servers.sh stop-demo [ADDRESS]
#
# Data, logs and certificates live under $BROLIX_SERVER_ROOT (default build/servers).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
root="${BROLIX_SERVER_ROOT:-$top/build/servers}"
tools_dir="${BROLIX_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/brolix}"
ferretdb="${FERRETDB:-$tools_dir/ferretdb-v1.24.2/ferretdb}"
python=/usr/bin/python3
test_plain=(127.0.0.11 127.0.0.12)
test_tls=127.0.0.13
auth_plain=127.0.0.70
auth_tls=127.0.0.71
auth_tls_port=27018

die() { echo "servers.sh: $*" >&2; exit 1; }

make_certificates() {
  local dir=$1
  mkdir -p "$dir"
  (
    cd "$dir"
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=brolix test CA" \
      -keyout ca.key -out ca.pem 2>/dev/null
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=other CA" \
      -keyout other-ca.key -out other-ca.pem 2>/dev/null
    # db.brolix.test: the name an SRV record of the connection tests points at.
    printf 'subjectAltName=IP:127.0.0.13,IP:127.0.0.71,DNS:localhost,DNS:db.brolix.test\n' > server.ext
    openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.13" \
      -keyout server.key -out server.csr 2>/dev/null
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
      -extfile server.ext -out server.crt 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=brolix client" \
      -keyout client.key -out client.csr 2>/dev/null
    openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
      -out client.crt 2>/dev/null
    cat client.crt client.key > client.pem
    # The same client key under a password, for the PEM password option.
    openssl pkey -in client.key -aes256 -passout pass:brolix-pem -out client-enc.key
    cat client.crt client-enc.key > client-enc.pem
    rm -f ./*.csr ./*.srl server.ext
  )
}

# The FerretDB of a server directory, still running: its pid file's process with that state
# directory (a pid left from an earlier boot or run may belong to anything by now).
ours() { # directory
  local pid
  [ -f "$1/pid" ] && pid=$(cat "$1/pid") && [ -n "$pid" ] &&
    tr '\0' '\n' < "/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "--state-dir=$1"
}

start_one() { # address tls(0/1) [port [users(0/1)]]
  local addr=$1 tls=$2 port=${3:-27017} users=${4:-0} dir="$root/$1"
  mkdir -p "$dir/data"
  if ours "$dir"; then
    return 0
  fi
  local args=(--handler=sqlite "--sqlite-url=file:$dir/data/" "--state-dir=$dir"
              --telemetry=disable --debug-addr=- --log-level=warn)
  if [ "$tls" = 1 ]; then
    args+=(--listen-addr= "--listen-tls=$addr:$port"
           "--listen-tls-cert-file=$root/tls/server.crt"
           "--listen-tls-key-file=$root/tls/server.key"
           "--listen-tls-ca-file=$root/tls/ca.pem")
  else
    args+=("--listen-addr=$addr:$port")
  fi
  if [ "$users" = 1 ]; then
    args+=(--test-enable-new-auth --setup-username=root --setup-password=brolix-root --setup-database=admin)
  fi
  setsid "$ferretdb" "${args[@]}" > "$dir/server.log" 2>&1 < /dev/null &
  echo $! > "$dir/pid"
}

wait_one() { # address tls(0/1) [port]
  local addr=$1 tls=$2 port=${3:-27017} dir="$root/$1" tries=0
  local tls_arg=("")
  [ "$tls" = 1 ] && tls_arg=("$root/tls")
  until "$python" "$here/ping.py" "$addr" "${tls_arg[@]}" "$port" 2>/dev/null; do
    tries=$((tries + 1))
    if ! ours "$dir" || [ $tries -ge 60 ]; then
      echo "servers.sh: FerretDB on $addr did not start; its log:" >&2
      cat "$dir/server.log" >&2
      return 1
    fi
    sleep 0.5
  done
  echo "FerretDB answers on $addr:$port"
}

stop_one() {
  local dir="$root/$1"
  [ -f "$dir/pid" ] || return 0
  local pid
  pid=$(cat "$dir/pid")
  if ours "$dir"; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 40); do ours "$dir" || break; sleep 0.25; done
    ! ours "$dir" || kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/pid"
}

[ -x "$ferretdb" ] || die "FerretDB not found at $ferretdb; run tools/install-deps.sh"

case "${1:-}" in
  start)
    # Made once for both TLS servers: new ones would not match a server still running.
    running() { ours "$root/$1"; }
    running "$test_tls" || running "$auth_tls" || make_certificates "$root/tls"
    for a in "${test_plain[@]}"; do start_one "$a" 0; done
    start_one "$test_tls" 1
    start_one "$auth_plain" 0 27017 1
    start_one "$auth_tls" 1 "$auth_tls_port" 1
    for a in "${test_plain[@]}" "$auth_plain"; do wait_one "$a" 0; done
    wait_one "$test_tls" 1
    wait_one "$auth_tls" 1 "$auth_tls_port"
    ;;
  stop)
    for a in "${test_plain[@]}" "$test_tls" "$auth_plain" "$auth_tls"; do stop_one "$a"; done
    ;;
  start-demo)
    demo=${2:-127.0.0.1}
    if "$python" "$here/ping.py" "$demo" 2>/dev/null; then
      echo "a server already answers on $demo:27017"
    else
      start_one "$demo" 0
      wait_one "$demo" 0
    fi
    ;;
  stop-demo)
    stop_one "${2:-127.0.0.1}"
    ;;
  *)
    echo "usage: $0 start|stop|start-demo|stop-demo" >&2
    exit 2
    ;;
esac
