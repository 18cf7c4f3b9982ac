#!/usr/bin/env bash
# The Debian package: lintian clean, desktop entry and metainfo valid, dependencies worked out, programs start.
# Usage: check.sh BUILD-DIR
set -uo pipefail
build=$1 passed=0
ok() { passed=$((passed + 1)); }
fail() { echo "FAIL [package] $*"; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
for tool in cpack lintian desktop-file-validate appstreamcli dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "package: $tool is needed; run scripts/setup"; exit 1; }
done
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
(cd "$build" && cpack -G DEB -B "$root/out" >"$root/cpack.log" 2>&1) || { cat "$root/cpack.log"; fail "cpack failed"; }
deb=$(ls "$root"/out/dialo_*_amd64.deb 2>/dev/null | head -n1)
check "cpack made dialo_VERSION_amd64.deb" [ -n "$deb" ]
version=$(dpkg-deb -f "$deb" Version)
check "the package's version is the build's ($version)" matches "$version" '^[0-9]+\.[0-9]{3}$'
check "its dependencies come from the programs ($(dpkg-deb -f "$deb" Depends))" \
  matches "$(dpkg-deb -f "$deb" Depends)" 'libc6.*libpulse0.*libqt6widgets6.*libssl3'
lintian --tag-display-limit 0 "$deb" >"$root/lintian.log" 2>&1
grep '^E:' "$root/lintian.log"
check "lintian finds no error" not grep -q '^E:' "$root/lintian.log"
dpkg-deb -x "$deb" "$root/tree"
cd "$root/tree" || fail "no unpacked tree"
check "the desktop entry validates" desktop-file-validate usr/share/applications/dialo.desktop
check "the AppStream metainfo validates" appstreamcli validate --no-net usr/share/metainfo/org.orvane.Dialo.metainfo.xml
check "the icon, the platform's systemd unit and sample configuration are there" eval \
  '[ -s usr/share/icons/hicolor/scalable/apps/dialo.svg ] && [ -s usr/lib/systemd/system/dialo-platform.service ] && [ -s usr/share/doc/dialo-platform/platform.sample.json ]'
for program in dialo dialo-phone vaultra dialo-platform dialo-devnet; do
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "usr/bin/$program" --version 2>&1)
  check "$program from the package says \"$program $version\" (it said \"$said\")" [ "$said" = "$program $version" ]
done
echo "package: $passed checks passed ($(basename "$deb"))"
