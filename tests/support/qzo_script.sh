# Shared harness of the shell tests that run the qzo companion as a user runs it. Source it with
# QZO set to the program: it makes a private folder $T (removed at exit) with its own
# QZO_WINDIR, and offers fail, expect_run and finish.
set -u
T=$(mktemp -d "${TMPDIR:-/tmp}/qzo-script-XXXXXX")
trap 'rm -rf "$T"' EXIT
export QZO_WINDIR=$T/windir
mkdir -p "$QZO_WINDIR"
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect_run STATUS PATTERN STREAM -- ARGS: runs qzo ARGS, checks the exit status and that the
# stream (out or err) holds the fixed text PATTERN.
expect_run() {
    local status=$1 pattern=$2 stream=$3
    shift 4
    "$QZO" "$@" >"$T/out" 2>"$T/err"
    local got=$?
    [ "$got" -eq "$status" ] || fail "qzo $*: exit $got, expected $status ($(cat "$T/err"))"
    grep -qF -- "$pattern" "$T/$stream" || fail "qzo $*: no '$pattern' in std$stream: $(cat "$T/$stream")"
}

# Ends the script: status 1 when any check failed.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures checks failed" >&2
        exit 1
    fi
    echo "all checks passed"
}
