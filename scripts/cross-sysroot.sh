#!/usr/bin/env bash
# Prepares the development sysroot of an ARM cross build (cmake/cross-toolchain.cmake).
#
#   scripts/cross-sysroot.sh SYSROOT [ARCH]      ARCH: armhf (the default) or arm64
#
# Most development packages of the target co-install with their amd64 twins through multiarch
# (jsoncpp, GoogleTest) and are installed normally by scripts/cross-test.sh. net-snmp's are not:
# libsnmp-dev exists for one architecture at a time, and its net-snmp-config.h differs between
# architectures (SIZEOF_LONG is 8 on amd64 and arm64, 4 on armhf). So the target's libsnmp-dev
# and the libssl-dev whose arch-specific OpenSSL headers it needs are unpacked here instead, at
# the versions of the installed runtime libraries of ARCH, and fixed up so that they are usable
# from this folder:
#   - the .pc files point into SYSROOT instead of /usr (includes and -L), and add
#     SYSROOT/usr/include/TRIPLET, where OpenSSL's configuration headers live;
#   - the development symlinks (libnetsnmp.so -> libnetsnmp.so.40.2.0, ...) are dangling once
#     unpacked, since the real library ships in the runtime package: they are repointed to the
#     multiarch runtime in /usr/lib/TRIPLET, which is also what runs under qemu-user (links to a
#     library whose runtime is not installed are removed).
#
# Needs the package lists of ARCH (dpkg --add-architecture ARCH; apt-get update) and the runtime
# packages of net-snmp and OpenSSL for ARCH installed, under this release's names for them
# (libsnmp40 and libssl3 in Debian 12, libsnmp40t64 and libssl3t64 in Debian 13); root is not
# needed. Does nothing when SYSROOT already holds the same package versions.
set -euo pipefail

[ $# -eq 1 ] || [ $# -eq 2 ] || {
  echo "usage: $0 SYSROOT [armhf|arm64]" >&2
  exit 2
}
ARCH=${2:-armhf}
case "$ARCH" in
  armhf) TRIPLET=arm-linux-gnueabihf LONG_SIZE=4 ;;
  arm64) TRIPLET=aarch64-linux-gnu LONG_SIZE=8 ;;
  *)
    echo "cross-sysroot: unknown architecture $ARCH (armhf or arm64)" >&2
    exit 2
    ;;
esac
MULTIARCH_LIB=/usr/lib/$TRIPLET
# shellcheck source=scripts/packages.sh
. "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
# development package -> the installed runtime package whose version it must match
DEV_PACKAGES=("libsnmp-dev:$(netsnmp_runtime)" "libssl-dev:$(openssl_runtime)")

mkdir -p "$1"
SYSROOT=$(cd "$1" && pwd)
STAMP=$SYSROOT/.packages

wanted=()
for pair in "${DEV_PACKAGES[@]}"; do
  dev=${pair%%:*} runtime=${pair#*:}
  if [ -z "$runtime" ]; then
    echo "cross-sysroot: cannot tell which package holds $dev's library (is $dev installed?)" >&2
    exit 1
  fi
  version=$(dpkg-query -W -f='${Version}' "$runtime:$ARCH" 2>/dev/null || true)
  if [ -z "$version" ]; then
    echo "cross-sysroot: $runtime:$ARCH is not installed" >&2
    exit 1
  fi
  wanted+=("$dev:$ARCH=$version")
done

# The stamp records the package versions and the folder they were fixed up for.
expected=$(printf '%s\n' "$SYSROOT" "${wanted[@]}")
if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$expected" ]; then
  exit 0
fi

echo "cross-sysroot: unpacking ${wanted[*]} into $SYSROOT"
find "$SYSROOT" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
debs=$SYSROOT/.debs
mkdir -p "$debs"
apt_opts=(-qq)
# As root, apt hands downloads to the _apt user, which may not write here.
[ "$(id -u)" = 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
(cd "$debs" && apt-get download "${apt_opts[@]}" "${wanted[@]}")
for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$SYSROOT"
done
rm -rf "$debs"

libdir=$SYSROOT/usr/lib/$TRIPLET
# Development symlinks: repoint to the multiarch runtime library of the same name.
for link in "$libdir"/*.so; do
  [ -L "$link" ] || continue
  [ -e "$link" ] && continue
  target=$(readlink "$link")
  target=${target##*/}
  if [ -e "$MULTIARCH_LIB/$target" ]; then
    ln -sfn "$MULTIARCH_LIB/$target" "$link"
  else
    rm -f "$link" # a library whose runtime is not installed (libnetsnmptrapd): not used
  fi
done

# pkg-config files: prefix into the sysroot, plus the multiarch include folder.
for pc in "$libdir"/pkgconfig/*.pc; do
  sed -i \
    -e "s|^prefix=/usr\$|prefix=$SYSROOT/usr|" \
    -e "s|^\\(Cflags:.*\\)\$|\\1 -I\${includedir}/$TRIPLET|" \
    "$pc"
  grep -q "^prefix=$SYSROOT/usr\$" "$pc" || {
    echo "cross-sysroot: unexpected prefix in $pc" >&2
    exit 1
  }
done

if ! grep -q "^#define SIZEOF_LONG $LONG_SIZE\$" "$SYSROOT/usr/include/net-snmp/net-snmp-config.h"; then
  echo "cross-sysroot: net-snmp-config.h is not the $ARCH one (SIZEOF_LONG $LONG_SIZE)" >&2
  exit 1
fi
[ -e "$libdir/libnetsnmp.so" ] || {
  echo "cross-sysroot: $libdir/libnetsnmp.so does not resolve" >&2
  exit 1
}
printf '%s\n' "$expected" >"$STAMP"
