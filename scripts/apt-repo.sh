#!/usr/bin/env bash
# Makes the folder of one release's packages an apt repository that a unit uses as it is:
#
#   scripts/apt-repo.sh DIR CODENAME
#
# DIR holds the release's .deb files (dist/CODENAME). Written beside them, from those files
# alone (any earlier index is replaced):
#
#   Packages, Packages.gz   the index (dpkg-scanpackages), one entry per package file;
#   Release                 Origin, Label, Suite and Codename CODENAME, the architectures, a
#                           Date from SOURCE_DATE_EPOCH (the packages' own time: two builds of
#                           one commit give the same Release), and the sizes and SHA256 sums of
#                           the two index files;
#   InRelease, Release.gpg  only when QRM_APT_SIGNING_KEY names a key of the caller's gpg
#                           keyring (a key ID, fingerprint or user ID): Release signed inline
#                           and detached with it. Without it, earlier signatures are removed, so
#                           a signature never vouches for another index.
#
# A unit then takes it with one line ("flat" repository: the folder is the whole archive):
#
#   deb [trusted=yes] file:/path/to/dist/CODENAME ./                    unsigned
#   deb [signed-by=/etc/apt/keyrings/KEY.gpg] file:/path/to/dist/CODENAME ./   signed
#
# or the same folder served over HTTP (deb http://HOST/PATH ./).
# Exit status non-zero when DIR holds no package or a step fails.
set -euo pipefail
DIR=${1:?usage: apt-repo.sh DIR CODENAME}
CODENAME=${2:?usage: apt-repo.sh DIR CODENAME}
cd "$DIR"
export LC_ALL=C.UTF-8

shopt -s nullglob
debs=(*.deb)
if [ ${#debs[@]} = 0 ]; then
  echo "apt-repo: no .deb file in $DIR" >&2
  exit 1
fi
epoch=${SOURCE_DATE_EPOCH:-$(stat -c %Y "${debs[0]}")}

# Only this folder's files, never a subfolder's; paths relative to the folder ("./NAME.deb").
dpkg-scanpackages --multiversion . /dev/null 2>/dev/null >Packages.new
if [ "$(grep -c '^Package: ' Packages.new)" != ${#debs[@]} ]; then
  echo "apt-repo: the index of $DIR does not list its ${#debs[@]} packages" >&2
  rm -f Packages.new
  exit 1
fi
mv Packages.new Packages
gzip -9nc Packages >Packages.gz

arches=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Architecture; done | sort -u | xargs)
{
  echo "Origin: snmp-marluxa-ac-power"
  echo "Label: snmp-marluxa-ac-power"
  echo "Suite: $CODENAME"
  echo "Codename: $CODENAME"
  echo "Date: $(date -u -R -d "@$epoch")"
  echo "Architectures: $arches"
  echo "Description: the Marluxa AC power plug-in and its tools for Debian $CODENAME"
  echo "SHA256:"
  for f in Packages Packages.gz; do
    printf ' %s %16s %s\n' "$(sha256sum "$f" | cut -d' ' -f1)" "$(stat -c %s "$f")" "$f"
  done
} >Release

rm -f InRelease Release.gpg
if [ -n "${QRM_APT_SIGNING_KEY:-}" ]; then
  gpg --batch --yes --local-user "$QRM_APT_SIGNING_KEY" --clearsign -o InRelease Release
  gpg --batch --yes --local-user "$QRM_APT_SIGNING_KEY" --armor --detach-sign -o Release.gpg \
    Release
  echo "apt-repo: $DIR: ${#debs[@]} packages ($arches), Release signed by $QRM_APT_SIGNING_KEY"
else
  echo "apt-repo: $DIR: ${#debs[@]} packages ($arches), Release unsigned"
fi
