#!/usr/bin/env bash
# Tests a folder made an apt repository by scripts/apt-repo.sh, as a unit's apt sees it:
#
#   scripts/apt-repo-test.sh DIST
#
#   - Packages, Packages.gz and Release are there, Release names its Codename;
#   - Packages lists every .deb of DIST, and nothing else, by its ./NAME and SHA256;
#   - Release names the SHA256 and size of both index files;
#   - an apt of its own (lists, cache and an empty dpkg status in a temporary folder: none of
#     this machine's sources or packages count, and no root is needed) takes the one line
#     `deb [trusted=yes] file:DIST ./`: `apt-get update` succeeds with no warning, and
#     `apt-cache policy` offers each plug-in package of QRM_PACKAGE_ARCHES (default
#     "amd64 armhf arm64") at its file's version;
#   - with gpg: a copy signed with a throwaway key (QRM_APT_SIGNING_KEY) verifies, and apt
#     accepts it with [signed-by=that key] and refuses it with another key.
#
# Prints one line per check and "apt-repo-test: N passed, M failed"; exits 1 on any failure.
set -uo pipefail
DIST=${1:?usage: apt-repo-test.sh DIST}
DIST=$(cd "$DIST" && pwd)
ARCHES=${QRM_PACKAGE_ARCHES:-amd64 armhf arm64}
# shellcheck source=scripts/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
WORK=$(mktemp -d /tmp/qrm-apt-repo-test.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
package_file() { # the one NAME_*_ARCH.deb in DIST, or empty
  local files=("$DIST/$1"_*_"$2".deb)
  [ ${#files[@]} = 1 ] && [ -f "${files[0]}" ] && echo "${files[0]}"
}

APT_WORK=$WORK/apt
private_apt() { # private_apt NAME COMMAND ARGS...: apt-get or apt-cache with the private state
  local name=$1 tool=$2 a arches=()
  shift 2
  for a in $ARCHES; do arches+=(-o "APT::Architectures::=$a"); done
  mkdir -p "$APT_WORK/$name/lists/partial" "$APT_WORK/$name/cache/archives/partial" \
    "$APT_WORK/none"
  touch "$APT_WORK/$name/status"
  "$tool" -q -o Dir::Etc::SourceList="$APT_WORK/$name/sources.list" \
    -o Dir::Etc::SourceParts="$APT_WORK/none" -o Dir::Etc::Preferences="$APT_WORK/none/preferences" \
    -o Dir::Etc::PreferencesParts="$APT_WORK/none" -o Dir::State::Lists="$APT_WORK/$name/lists" \
    -o Dir::Cache="$APT_WORK/$name/cache" -o Dir::State::Status="$APT_WORK/$name/status" \
    -o APT::Sandbox::User=root -o Debug::NoLocking=1 -o Acquire::Languages=none \
    -o APT::Architecture="${ARCHES%% *}" "${arches[@]}" "$@"
}
# offered NAME: every plug-in package of ARCHES is offered at its file's version.
offered() {
  local arch deb want got ok=0
  for arch in $ARCHES; do
    deb=$(package_file snmp-marluxa-ac-power "$arch")
    [ -n "$deb" ] || return 1
    want=$(dpkg-deb -f "$deb" Version)
    got=$(private_apt "$1" apt-cache policy "snmp-marluxa-ac-power:$arch" |
      sed -n 's/^ *Candidate: //p')
    echo "  $1: snmp-marluxa-ac-power:$arch candidate $got (file $want)"
    [ "$got" = "$want" ] || ok=1
  done
  return $ok
}
codename=$(sed -n 's/^Codename: //p' "$DIST/Release" 2>/dev/null)
check "apt repository: $DIST has Packages, Packages.gz and Release (Codename ${codename:-?})" \
  test -s "$DIST/Packages" -a -s "$DIST/Packages.gz" -a -n "$codename"
check "apt repository: Packages lists every .deb of $DIST by its ./NAME and SHA256" bash -c '
  cd "$1" && n=0 && for deb in *.deb; do
    sum=$(sha256sum "$deb" | cut -d" " -f1)
    grep -qx "Filename: ./$deb" Packages && grep -qx "SHA256: $sum" Packages || exit 1
    n=$((n + 1))
  done && [ "$(grep -c "^Package: " Packages)" = $n ]' _ "$DIST"
check "apt repository: Release names the SHA256 and size of Packages and Packages.gz" bash -c '
  cd "$1" && for f in Packages Packages.gz; do
    grep -qE "^ $(sha256sum "$f" | cut -d" " -f1) +$(stat -c %s "$f") $f$" Release || exit 1
  done' _ "$DIST"
if command -v apt-get >/dev/null; then
  mkdir -p "$APT_WORK/plain"
  echo "deb [trusted=yes] file:$DIST ./" >"$APT_WORK/plain/sources.list"
  if private_apt plain apt-get update >"$APT_WORK/plain.log" 2>&1 &&
    ! grep -qE '^(W|E):' "$APT_WORK/plain.log"; then
    pass "apt repository: apt-get update accepts \"deb [trusted=yes] file:$DIST ./\""
  else
    fail "apt repository: apt-get update accepts \"deb [trusted=yes] file:$DIST ./\""
    sed 's/^/  | /' "$APT_WORK/plain.log"
  fi
  check "apt repository: apt offers each plug-in package at its version" offered plain
  if command -v gpg >/dev/null; then
    export GNUPGHOME=$APT_WORK/gnupg
    mkdir -p "$APT_WORK"
    mkdir -m 700 "$GNUPGHOME"
    signed=$APT_WORK/signed-dist
    mkdir -p "$signed"
    cp "$DIST"/*.deb "$signed"/
    for who in signer other; do
      gpg --batch --passphrase '' --quick-gen-key "$who@example.org" ed25519 sign never \
        >/dev/null 2>&1
      gpg --batch --export "$who@example.org" >"$APT_WORK/$who.gpg"
    done
    QRM_APT_SIGNING_KEY=signer@example.org "$(dirname "${BASH_SOURCE[0]}")/apt-repo.sh" \
      "$signed" "$codename" >"$APT_WORK/sign.log" 2>&1
    check "apt repository: QRM_APT_SIGNING_KEY signs Release (InRelease, Release.gpg)" \
      bash -c 'gpg --batch --verify "$1/InRelease" 2>/dev/null &&
        gpg --batch --verify "$1/Release.gpg" "$1/Release" 2>/dev/null' _ "$signed"
    for who in signer other; do
      mkdir -p "$APT_WORK/$who"
      echo "deb [signed-by=$APT_WORK/$who.gpg] file:$signed ./" >"$APT_WORK/$who/sources.list"
      private_apt "$who" apt-get update >"$APT_WORK/$who.log" 2>&1
      echo "$?" >"$APT_WORK/$who.status"
    done
    check "apt repository: apt-get update accepts the signed Release with the signer's key" \
      bash -c '[ "$(cat "$1.status")" = 0 ] && ! grep -qE "^(W|E):" "$1.log"' _ "$APT_WORK/signer"
    check "apt repository: ... and refuses it with another key" \
      grep -qE "^(W|E):.*(NO_PUBKEY|not signed|signature)" "$APT_WORK/other.log"
    unset GNUPGHOME
  fi
fi

echo "apt-repo-test: $passed passed, $failed failed"
[ $failed = 0 ] && [ $passed -gt 0 ]
