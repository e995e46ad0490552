#!/usr/bin/env bash
# The built binary's command line: the usage line, its exit statuses, and the
# message when the interrupt table cannot be opened.
set -u
bin=$1
fails=0
check() { # what, got, want
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  got:  %q\n  want: %q\n' "$1" "$2" "$3"
        fails=$((fails + 1))
    fi
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
. "$(dirname "$0")/userns.sh"

for args in "-H" "-H -H" "-c -H" "-x"; do
    # shellcheck disable=SC2086
    "$bin" $args >"$scratch/out" 2>"$scratch/err"
    check "status of $args" "$?" 1
    check "usage line of $args" "$(cat "$scratch/out")" "usage: $bin cH"
    if [ "$args" = "-x" ]; then
        check "complaint of -x" "$(cat "$scratch/err")" "$bin: invalid option -- 'x'"
    else
        check "stderr of $args" "$(cat "$scratch/err")" ""
    fi
done

# No /proc/interrupts at all: a private mount namespace with an empty /proc.
# A sanitizer build cannot find its own process there: keep its notes out.
if userns; then
    ASAN_OPTIONS=detect_leaks=0 unshare -rm sh -c 'mount -t tmpfs none /proc && exec "$0" -c' "$bin" >"$scratch/out" 2>"$scratch/err" </dev/null
    check "status without a table" "$?" 1
    check "message without a table" "$(grep -v -e '^==' -e '^False positive' -e '^For details' "$scratch/err")" \
        "kevrane: cannot open /proc/interrupts: No such file or directory"
    check "stdout without a table" "$(cat "$scratch/out")" ""
else
    skipped="the start without a table was not tried"
fi

if [ "$fails" = 0 ] && [ -n "${skipped:-}" ]; then
    userns_skip_note "$skipped"
    exit 77
fi
[ "$fails" = 0 ] && echo "command line: all checks passed"
exit "$fails"
