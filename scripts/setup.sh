#!/usr/bin/env bash
# Installs what the cross build and the Wine test runs need on a Debian machine.
# Safe to run again: it installs only what is missing.
#   BUILD=build   the build folder (where 32-bit programs run emulated, the
#                 preload library of tools/qemu-ldt is built into it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$root/build}

need=()
for pkg in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix cmake googletest \
           wine wine64 wine32:i386; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

# Installs packages wherever they can be had. A mirror in the middle of a
# sync can fail one index of the refresh; apt then goes on with the others,
# and so does this script. Without that index the two bitnesses of one
# library (amd64 and i386) may stand at different versions and the install
# cannot resolve: it is retried once from the release's own suite, where
# both stand at one version. Only when that fails too does the script stop,
# with apt's own message.
install_packages() {
    if ! $SUDO apt-get update -qq </dev/null; then
        echo "warning: the package index could not be refreshed in full;" \
             "going on with what it has" >&2
    fi
    local log
    log=$(mktemp)
    if $SUDO apt-get install -y -qq --no-install-recommends "$@" </dev/null >"$log" 2>&1; then
        cat "$log"
        rm -f "$log"
        return 0
    fi
    local suite
    suite=$( (. /etc/os-release && echo "${VERSION_CODENAME:-}") 2>/dev/null || true)
    if [ -z "$suite" ]; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    echo "warning: the install did not resolve ($(grep '^E:' "$log" | tail -n 1));" \
         "retrying from the release's own suite, $suite" >&2
    rm -f "$log"
    $SUDO apt-get install -y -qq --no-install-recommends -t "$suite" "$@" </dev/null
}

if [ ${#need[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    install_packages "${need[@]}"
fi

# 32-bit Wine is itself a 32-bit Linux program. Some kernels (this project's
# CI machines among them) refuse 32-bit ELF programs; there the i386 loader
# runs under qemu's user-mode emulation, registered with binfmt_misc.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    command -v qemu-i386 >/dev/null || install_packages qemu-user
    binfmt=/proc/sys/fs/binfmt_misc
    [ -f $binfmt/register ] || $SUDO mount -t binfmt_misc binfmt_misc $binfmt
    if [ ! -f $binfmt/qemu-i386 ]; then
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
            | $SUDO tee $binfmt/register >/dev/null
    fi
    /lib/ld-linux.so.2 --version >/dev/null
fi

# Under qemu-user a 32-bit Wine process needs the preload library of
# tools/qemu-ldt to run more than one thread (see the README's limits);
# scripts/wine-env.sh uses it. It is built with the host gcc.
if [ -f /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    command -v gcc >/dev/null || install_packages gcc
    bash "$root/tools/qemu-ldt/build.sh" "$BUILD/qemu-ldt"
fi
