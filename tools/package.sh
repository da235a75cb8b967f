#!/usr/bin/env bash
# Builds the Debian package build/brolix_<version>_amd64.deb with CPack from the plain
# build tree (configured and built here when needed) and checks it with lintian.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
ninja -C build > /dev/null
(cd build && cpack -G DEB > /dev/null)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")/\1/p' build/CPackConfig.cmake)
deb="build/brolix_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "package.sh: $deb was not made" >&2; exit 1; }
lintian --fail-on error "$deb"
echo "$deb"
