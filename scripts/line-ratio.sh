#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Prints how many lines of code and of tests the tree holds, and their ratio.
#
# What is counted: lines of C and C++ sources and headers (*.c, *.cc, *.cpp, *.h, *.hpp)
# that hold something other than blanks and comments. A line with code and a trailing
# comment counts; a line inside a /* */ block or holding only a // comment does not.
# Comment markers inside string and character literals are not taken for comments.
# CMake files, shell scripts, documents and data are not counted.
#
#   code:  apps common engine platform player recorder tstream2 bench examples
#   tests: tests fuzz
#
# Usage: scripts/line-ratio.sh [-v]    (-v also lists the count of every folder)
set -euo pipefail
cd "$(dirname "$0")/.."

CODE_DIRS=(apps common engine platform player recorder tstream2 bench examples)
TEST_DIRS=(tests fuzz)
verbose=0
[ "${1:-}" = "-v" ] && verbose=1

# Non-blank, non-comment lines of the sources under the given folders.
count_lines() {
    local dirs=()
    for d in "$@"; do [ -d "$d" ] && dirs+=("$d"); done
    [ ${#dirs[@]} -eq 0 ] && { echo 0; return; }
    find "${dirs[@]}" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' \
        -o -name '*.h' -o -name '*.hpp' \) -print0 | sort -z | xargs -0 -r awk '
        FNR == 1 { block = 0 }
        {
            line = $0; n = length(line); code = 0; i = 1
            while (i <= n) {
                c = substr(line, i, 1); c2 = substr(line, i, 2)
                if (block) {
                    if (c2 == "*/") { block = 0; i += 2 } else i++
                    continue
                }
                if (c2 == "//") break
                if (c2 == "/*") { block = 1; i += 2; continue }
                if (c == "\"" || c == "'\''") {
                    # Skip a literal, honouring backslash escapes.
                    code = 1; q = c; i++
                    while (i <= n) {
                        d = substr(line, i, 1)
                        if (d == "\\") { i += 2; continue }
                        i++
                        if (d == q) break
                    }
                    continue
                }
                if (c != " " && c != "\t" && c != "\r") code = 1
                i++
            }
            if (code) total++
        }
        END { print total + 0 }'
}

code=$(count_lines "${CODE_DIRS[@]}")
tests=$(count_lines "${TEST_DIRS[@]}")

if [ "$verbose" = 1 ]; then
    for d in "${CODE_DIRS[@]}" "${TEST_DIRS[@]}"; do
        [ -d "$d" ] || continue
        printf '%-10s %6d\n' "$d" "$(count_lines "$d")"
        if [ "$d" = tests ]; then
            for s in tests/*/; do printf '  %-20s %6d\n' "${s%/}" "$(count_lines "$s")"; done
        fi
    done
fi
printf 'code:  %d lines (%s)\n' "$code" "${CODE_DIRS[*]}"
printf 'tests: %d lines (%s)\n' "$tests" "${TEST_DIRS[*]}"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.3f (tests / code)\n", (c ? t / c : 0) }'
