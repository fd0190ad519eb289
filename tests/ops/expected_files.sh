# Shared by the install and package tests: the files an installation to PREFIX must hold, one path
# per line relative to the root, sorted. Usage: expected_files PREFIX SOURCE_DIR TOOLS(comma list)
expected_files() {
    local prefix=${1#/} src=$2 tools=$3 doc tool
    {
        echo "$prefix/bin/bcstbridge"
        for tool in ${tools//,/ }; do
            echo "$prefix/bin/$tool"
            echo "$prefix/share/man/man1/$tool.1.gz"
        done
        echo "$prefix/share/doc/bcstbridge/examples/BCSTBRIDGE.INI"
        echo "$prefix/share/doc/bcstbridge/examples/keepalived.conf"
        echo "$prefix/share/doc/bcstbridge/examples/keepalived-bcstbridge.conf"
        echo "$prefix/libexec/bcstbridge/bcstbridge-role"
        echo "$prefix/libexec/bcstbridge/bcstbridge-healthy"
        for doc in "$src"/docs/*.md; do echo "$prefix/share/doc/bcstbridge/$(basename "$doc")"; done
        [ -f "$src/README.md" ] && echo "$prefix/share/doc/bcstbridge/README.md"
        echo "$prefix/libexec/bcstbridge/bcstbridge-prometheus"
        echo "$prefix/share/doc/bcstbridge/copyright"
        echo "$prefix/share/doc/bcstbridge/changelog.gz"
        echo "$prefix/share/man/man8/bcstbridge.8.gz"
        echo "$prefix/share/bcstbridge/wireshark/bcstbridge.lua"
        echo "$prefix/share/bcstbridge/prometheus/bcstbridge-rules.yml"
        echo "$prefix/share/lintian/overrides/bcstbridge"
        echo "$prefix/libexec/bcstbridge/bcstbridge-logs"
        echo "$prefix/lib/sysctl.d/00-bcstbridge.conf"
        echo "$prefix/lib/systemd/system/bcstbridge@.service"
        echo "$prefix/lib/systemd/system/bcstbridge.target"
        echo "$prefix/lib/systemd/system/bcstbridge-logs.service"
        echo "$prefix/lib/systemd/system/bcstbridge-logs.timer"
        echo "$prefix/lib/systemd/system/bcstbridge-prometheus.service"
        echo "$prefix/lib/systemd/system/bcstbridge-prometheus.timer"
    } | LC_ALL=C sort
}

# Files the tools may add beside their executables (their own manuals and the like).
is_tool_extra() {
    case $(basename "$1") in bcst-feed* | bcst-dump* | bcst-verify*) return 0 ;; esac
    return 1
}
