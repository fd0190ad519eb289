# Shared by the operations tests (sourced): a scratch directory removed on exit, a failure tally, and
# the closing line whose status is the test's result.
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# finish LABEL [DETAIL]: prints "LABEL: [DETAIL, ]N failed" and succeeds only when nothing failed.
finish() {
    echo "$1: ${2:+$2, }$failures failed"
    [ "$failures" -eq 0 ]
}
