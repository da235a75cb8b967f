#!/usr/bin/env bash
# Compiles the sources with Windows branches of their own (the registry layer, the dump's
# local time) with Debian's mingw-w64 cross compiler, when it is installed; says it
# skipped otherwise.
# Exit status: 0 compiled or skipped, 1 the file does not compile.
set -euo pipefail

cxx="${BROLIX_MINGW_CXX:-x86_64-w64-mingw32-g++}"
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
files="startup/platform/registry_win32.cpp store/files/dump.cpp"

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "check-windows-build: skipped ($cxx not installed; apt-get install g++-mingw-w64-x86-64)"
  exit 0
fi

object="$(mktemp --suffix=.o)"
trap 'rm -f "$object"' EXIT
for file in $files; do
  if "$cxx" -std=c++17 -Wall -Wextra -Werror -I"$top" -c "$top/$file" -o "$object"; then
    echo "check-windows-build: $file compiles for Windows ($cxx)"
  else
    echo "check-windows-build: $file does not compile for Windows ($cxx)" >&2
    exit 1
  fi
done
