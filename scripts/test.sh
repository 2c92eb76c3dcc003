#!/usr/bin/env bash
# The one command from a fresh Debian machine: installs what is missing,
# builds both bitnesses and runs every test under Wine.
#   ARCHS="i686 x86_64"   the bitnesses to build and test
#   BUILD=build           the build folder (holds the Wine prefix too)
# Further arguments go to ctest (for example -R LogFile).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD=${BUILD:-$root/build}
export ARCHS=${ARCHS:-i686 x86_64}

bash "$root/scripts/setup.sh"

. "$root/scripts/wine-env.sh"
mkdir -p "$BUILD"
wine_prefix_begin
bash "$root/scripts/build.sh"
wine_start

status=0
for arch in $ARCHS; do
    echo "== tests, $arch"
    ctest --test-dir "$BUILD/$arch" -j"$(nproc)" --output-on-failure "$@" \
          </dev/null || status=1
done
exit $status
