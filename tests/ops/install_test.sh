#!/usr/bin/env bash
# Installs the build into staging directories (DESTDIR) for two prefixes and checks the file set,
# the paths written into the systemd units and that the installed files are the right ones.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR TOOLS(comma list)
set -uo pipefail
BUILD=$1
SRC=$2
TOOLS=$3
. "$(dirname "$0")/expected_files.sh"

. "$(dirname "$0")/check_lib.sh"

check_prefix() { # prefix
    local prefix=$1 stage="$WORK/stage$(echo "$1" | tr / _)"
    if ! DESTDIR="$stage" cmake --install "$BUILD" --prefix "$prefix" >"$WORK/install.log" 2>&1; then
        fail "cmake --install --prefix $prefix: $(tail -5 "$WORK/install.log")"
        return
    fi
    (cd "$stage" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort) >"$WORK/found"
    expected_files "$prefix" "$SRC" "$TOOLS" >"$WORK/expected"
    local missing extra
    missing=$(LC_ALL=C comm -23 "$WORK/expected" "$WORK/found")
    extra=$(LC_ALL=C comm -13 "$WORK/expected" "$WORK/found" | while read -r f; do
        is_tool_extra "$f" || echo "$f"
    done)
    [ -z "$missing" ] || fail "$prefix: missing from the installation: $missing"
    [ -z "$extra" ] || fail "$prefix: not expected in the installation: $extra"

    local root="$stage${prefix}"
    local exe
    for exe in bcstbridge ${TOOLS//,/ }; do
        [ -x "$root/bin/$exe" ] || fail "$prefix: bin/$exe is not executable"
        file -b "$root/bin/$exe" | grep -q '^ELF' || fail "$prefix: bin/$exe is not an ELF executable"
    done
    local script
    for script in bcstbridge-logs bcstbridge-role bcstbridge-healthy; do
        [ -x "$root/libexec/bcstbridge/$script" ] || fail "$prefix: $script is not executable"
    done
    # The installed bridge runs: without its one argument it stops at once with status 1.
    "$root/bin/bcstbridge" >/dev/null 2>&1
    [ $? -eq 1 ] || fail "$prefix: installed bcstbridge without argument did not exit with 1"

    local example
    for example in BCSTBRIDGE.INI keepalived.conf keepalived-bcstbridge.conf; do
        cmp -s "$SRC/examples/$example" "$root/share/doc/bcstbridge/examples/$example" ||
            fail "$prefix: installed example differs from examples/$example"
    done
    cmp -s "$SRC/tools/wireshark/bcstbridge.lua" "$root/share/bcstbridge/wireshark/bcstbridge.lua" ||
        fail "$prefix: dissector differs from its source"

    # The units name the binaries of the prefix they were installed to.
    local units="$root/lib/systemd/system"
    grep -qx "ExecStart=$prefix/bin/bcstbridge \$BCSTBRIDGE_OPTIONS %i" "$units/bcstbridge@.service" ||
        fail "$prefix: bcstbridge@.service: $(grep '^ExecStart' "$units/bcstbridge@.service")"
    grep -qx "ExecStart=$prefix/libexec/bcstbridge/bcstbridge-logs /var/lib/bcstbridge" \
        "$units/bcstbridge-logs.service" ||
        fail "$prefix: bcstbridge-logs.service: $(grep '^ExecStart' "$units/bcstbridge-logs.service")"

    # The manual pages are compressed and format without warnings.
    if command -v groff >/dev/null; then
        local page warnings
        for page in "$root"/share/man/man*/*; do
            warnings=$(gzip -dc "$page" | groff -man -Tutf8 -ww -z 2>&1)
            [ $? -eq 0 ] && [ -z "$warnings" ] || fail "$prefix: $(basename "$page"): $warnings"
        done
    else
        echo "note: groff is not installed; the man page was not formatted"
    fi
}

check_prefix /usr
check_prefix /opt/bcst

finish "install"
