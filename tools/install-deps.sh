#!/usr/bin/env bash
# Installs what the editor, its tests, its package and its demo need, skipping what is there:
# Debian packages, and FerretDB v1.24.2 built from the Go module proxy.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qtbase5-dev-tools
  qt6-base-dev qt6-base-dev-tools
  libmongoc-dev libbson-dev
  libgtest-dev libgmock-dev googletest
  unixodbc unixodbc-dev
  python3 python3-pymongo python3-mockupdb
  openssl xvfb xdotool x11-utils imagemagick
  dnsmasq-base iproute2
  stress-ng
  fonts-dejavu-core
  g++-mingw-w64-x86-64
  clang-14 libclang-rt-14-dev
  dpkg-dev file lintian desktop-file-utils librsvg2-bin
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The Windows build of the registry layer is checked when the cross compiler is there;
# it is not needed to build or test the editor here.

ferretdb_version=v1.24.2
tools_dir="${BROLIX_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/brolix}"
ferretdb="$tools_dir/ferretdb-$ferretdb_version/ferretdb"
if [ ! -x "$ferretdb" ] || ! "$ferretdb" --version 2>/dev/null | grep -q "$ferretdb_version"; then
  command -v go >/dev/null || { echo "Go is needed to build FerretDB" >&2; exit 1; }
  echo "building FerretDB $ferretdb_version"
  # `go install ...@v1.24.2` gives a binary that panics at start: the module archive
  # lacks build/version/version.txt. Build the same module source with that file written.
  src_dir=$(cd /tmp && go mod download -json "github.com/FerretDB/FerretDB@$ferretdb_version" |
            python3 -c 'import json,sys; print(json.load(sys.stdin)["Dir"])')
  work=$(mktemp -d)
  cp -r "$src_dir" "$work/src"
  chmod -R u+w "$work/src"
  echo "$ferretdb_version" > "$work/src/build/version/version.txt"
  mkdir -p "$(dirname "$ferretdb")"
  (cd "$work/src" && go build -o "$ferretdb" ./cmd/ferretdb)
  rm -rf "$work"
  # all of it read: head would close the pipe early, and pipefail would count the SIGPIPE
  "$ferretdb" --version | sed -n 1p
fi
