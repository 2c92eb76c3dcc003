#!/usr/bin/env bash
# Configures and builds both bitnesses (i686 and x86_64) under $BUILD.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$root/build}
for arch in ${ARCHS:-i686 x86_64}; do
    if [ ! -f "$BUILD/$arch/Makefile" ]; then  # also after a configure that failed
        cmake -S "$root" -B "$BUILD/$arch" -DCMAKE_BUILD_TYPE=Release \
              -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
    fi
    cmake --build "$BUILD/$arch" -j"$(nproc)"
done
