#!/usr/bin/env bash
# How long a key waits during a pass, and how many whole reads of the table
# the first numbers take, on a live table printed at a big machine's pace:
# the live test's figures at 40 and 300 ns a byte; and how soon the first
# frame comes from a table whose every read call costs 40 ms (or as given).
#   bench/pace.sh BIN LIVE_TABLE [NS_PER_CALL]
# (LIVE_TABLE: a build of tests/live_table.cpp, such as build-test/tests/live_table.)
set -u
for pace in 40 300; do
    echo "== $pace ns a byte"
    "$(dirname "$0")/../tests/live.sh" "$1" "$2" "$pace" "${3:-40000000}" |
        grep -E '^live: (first (numbers|frame)|waits)'
done
