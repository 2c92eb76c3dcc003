#!/usr/bin/env bash
# Builds the qemu-ldt preload library with the host gcc, for ld.so's $LIB
# folders under OUT:
#   OUT/lib/i386-linux-gnu/libqemuldt.so    the 32-bit library (does the work)
#   OUT/lib/x86_64-linux-gnu/libqemuldt.so  its empty 64-bit twin
# so that LD_PRELOAD='OUT/$LIB/libqemuldt.so' serves both loaders without a
# warning. The folder names are the compilers' multiarch names, which are
# what Debian's ld.so puts in $LIB; the script checks that both loaders find
# the library. Rebuilds only what is out of date.
# Usage: build.sh OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUT}
src="$here/qemu_ldt.c"
name=libqemuldt.so
flags=(-shared -fPIC -O2 -Wall -Wextra -fno-stack-protector -nostdlib -Wl,-z,noexecstack)
libc32=/lib/i386-linux-gnu/libc.so.6

# build_one BITS [LINK...]: compiles src with -mBITS into OUT/lib/<multiarch>.
build_one() {
    local bits=$1 multiarch; shift
    multiarch=$(gcc -m"$bits" -print-multiarch)
    local dir="$out/lib/$multiarch"
    mkdir -p "$dir"
    if [ ! "$dir/$name" -nt "$src" ]; then
        # Built beside the target and renamed into place: a running process
        # that has the old file mapped keeps it.
        gcc -m"$bits" "${flags[@]}" -o "$dir/$name.tmp" "$src" "$@"
        mv -f "$dir/$name.tmp" "$dir/$name"
    fi
}

build_one 32 "$libc32" -Wl,-rpath-link,"$(dirname "$libc32")"
build_one 64

# Both loaders must find the library through $LIB.
preload="$out/\$LIB/$name"
if LD_PRELOAD="$preload" /bin/true 2>&1 | grep -q .; then
    echo "qemu-ldt: the 64-bit loader does not find $preload" >&2
    exit 1
fi
if ! LD_PRELOAD="$preload" timeout 60 /lib/ld-linux.so.2 --list /usr/lib/wine/wine \
        </dev/null 2>/dev/null | grep -q "$name"; then
    echo "qemu-ldt: the 32-bit loader does not find $preload" >&2
    exit 1
fi
