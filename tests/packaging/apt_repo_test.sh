#!/usr/bin/env bash
# A release's package folder made an apt repository (scripts/apt-repo.sh), on three stand-in
# plug-in packages made here (amd64, armhf and arm64): scripts/apt-repo-test.sh's checks (the
# index, the Release sums, a private `apt-get update` and the versions it offers, the signed
# copy), then a Release that two runs over the same files write alike, and a package added
# later that the next run indexes.
#   apt_repo_test.sh REPOSITORY_ROOT
set -euo pipefail
repo=${1:?usage: apt_repo_test.sh REPOSITORY_ROOT}
work=$(mktemp -d /tmp/qrm-apt-repo-ctest.XXXXXX)
trap 'rm -rf "$work"' EXIT
dist=$work/dist/bookworm
mkdir -p "$dist"
stand_in() { # stand_in NAME VERSION ARCH: a package holding one file, into dist
  local tree=$work/tree-$1-$3
  mkdir -p "$tree/DEBIAN" "$tree/usr/share/doc/$1"
  printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: t <t@example.org>\nDescription: stand-in\n' \
    "$1" "$2" "$3" >"$tree/DEBIAN/control"
  echo "$1 $3" >"$tree/usr/share/doc/$1/stand-in"
  dpkg-deb --root-owner-group --build "$tree" "$dist/${1}_${2}_$3.deb" >/dev/null
}
for arch in amd64 armhf arm64; do stand_in snmp-marluxa-ac-power 1.0.0-1+deb12u1 "$arch"; done
export SOURCE_DATE_EPOCH=1700000000
"$repo/scripts/apt-repo.sh" "$dist" bookworm
"$repo/scripts/apt-repo-test.sh" "$dist"
cp "$dist/Release" "$work/Release.first"
"$repo/scripts/apt-repo.sh" "$dist" bookworm >/dev/null
cmp "$work/Release.first" "$dist/Release" || {
  echo "FAIL: two runs over the same packages wrote different Release files"
  exit 1
}
stand_in snmp-marluxa-ac-power-tools 1.0.0-1+deb12u1 armhf
"$repo/scripts/apt-repo.sh" "$dist" bookworm >/dev/null
grep -qx "Package: snmp-marluxa-ac-power-tools" "$dist/Packages" || {
  echo "FAIL: a package added to the folder is not in the next index"
  exit 1
}
echo "ok: Release alike from two runs; a package added later is indexed"
