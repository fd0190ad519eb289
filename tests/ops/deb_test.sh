#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its name, control fields, library dependencies,
# maintainer scripts and contents.
# Usage: deb_test.sh BUILD_DIR VERSION TOOLS(comma list)
set -uo pipefail
BUILD=$1
VERSION=$2
TOOLS=$3
SRC=$(cd "$(dirname "$0")/../.." && pwd)
. "$(dirname "$0")/expected_files.sh"

for tool in cpack dpkg-deb dpkg-shlibdeps; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/test installs dpkg-dev)"
        exit 77
    fi
done

. "$(dirname "$0")/check_lib.sh"

if ! cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1; then
    cat "$WORK/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
arch=$(dpkg --print-architecture)
deb="$WORK/out/bcstbridge_${VERSION}_${arch}.deb"
if [ ! -f "$deb" ]; then
    echo "FAIL: no package $(basename "$deb"); cpack wrote: $(ls "$WORK/out")"
    exit 1
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = bcstbridge ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$VERSION" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
for dep in 'libc6 (>= ' 'liblz4-1 (>= ' adduser; do
    case $depends in *"$dep"*) ;; *) fail "Depends lacks '$dep': $depends" ;; esac
done
[ "$(field Suggests)" = keepalived ] || fail "Suggests: $(field Suggests) (keepalived for a hot-standby pair)"

# Contents: the same file set as an installation to /usr.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort >"$WORK/found"
expected_files /usr "$SRC" "$TOOLS" >"$WORK/expected"
missing=$(LC_ALL=C comm -23 "$WORK/expected" "$WORK/found")
extra=$(LC_ALL=C comm -13 "$WORK/expected" "$WORK/found" | while read -r f; do
    is_tool_extra "$f" || echo "$f"
done)
[ -z "$missing" ] || fail "missing from the package: $missing"
[ -z "$extra" ] || fail "not expected in the package: $extra"

dpkg-deb -x "$deb" "$WORK/root"
grep -qx 'ExecStart=/usr/bin/bcstbridge $BCSTBRIDGE_OPTIONS %i' \
    "$WORK/root/usr/lib/systemd/system/bcstbridge@.service" ||
    fail "unit in the package does not start /usr/bin/bcstbridge"
file -b "$WORK/root/usr/bin/bcstbridge" | grep -q ', stripped' || fail "bcstbridge in the package is not stripped"

# Maintainer scripts: the ones in packaging/debian, executable and valid shell.
dpkg-deb -e "$deb" "$WORK/control"
for script in postinst prerm postrm; do
    if [ ! -x "$WORK/control/$script" ]; then
        fail "$script missing or not executable"
        continue
    fi
    cmp -s "$WORK/control/$script" "$SRC/packaging/debian/$script" || fail "$script differs from packaging/debian"
    sh -n "$WORK/control/$script" || fail "$script is not valid shell"
done

# postrm takes the published metrics away on remove and purge (a stale bcstbridge.prom keeps alerts
# firing for good). Run for real in a mount namespace of its own, with empty /var/lib, /run and
# /etc/systemd/system, so that nothing of this host is touched.
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
    for action in remove purge; do
        unshare -m sh -c '
            set -e
            for dir in /var/lib /run /etc/systemd/system; do mount -t tmpfs tmpfs "$dir"; done
            textfile=/var/lib/prometheus/node-exporter
            mkdir -p "$textfile" /var/lib/bcstbridge
            touch "$textfile/bcstbridge.prom" "$textfile/.bcstbridge.prom.x1Y2z3" "$textfile/other.prom"
            sh "$1" "$2" >/dev/null 2>&1
            ls -A "$textfile"' postrm "$WORK/control/postrm" "$action" >"$WORK/after-$action" 2>&1 ||
            fail "postrm $action failed: $(cat "$WORK/after-$action")"
        [ "$(cat "$WORK/after-$action")" = other.prom ] ||
            fail "postrm $action left in the textfile directory: $(cat "$WORK/after-$action")"
    done
else
    echo "note: not root (or no mount namespaces): postrm's removal of the metrics file not run"
fi

# Documentation as Debian has it: the changelog of this version and every manual page compressed.
[ "$(gzip -dc "$WORK/root/usr/share/doc/bcstbridge/changelog.gz" | head -n 1)" = \
    "bcstbridge ($VERSION) unstable; urgency=medium" ] || fail "changelog.gz does not start with version $VERSION"
head -n 1 "$WORK/root/usr/share/doc/bcstbridge/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in the machine-readable format"
uncompressed=$(find "$WORK/root/usr/share/man" -type f ! -name '*.gz')
[ -z "$uncompressed" ] || fail "manual pages not compressed: $uncompressed"

# Lintian finds nothing: every tag is fixed or overridden with its reason in packaging/debian.
if command -v lintian >/dev/null; then
    tags=$(lintian --fail-on none "$deb" 2>&1 | grep -E '^[EWI]: ')
    [ -z "$tags" ] || fail "lintian: $tags"
else
    echo "note: lintian is not installed; the package was not checked with it"
fi

finish "package $(basename "$deb")"
