#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Checks the public headers installed under PREFIX/include/tavrenly as a host meets them: each
# names only installed headers, none shows a type of the library's file, codec or settings
# layers, and each compiles on its own with -I PREFIX/include alone, included as a host
# includes it (#include <tavrenly/player/TavrenPlayer.h>).
#
#   check-headers.sh PREFIX
set -euo pipefail
prefix="$1"
root="$prefix/include/tavrenly"
fail() { echo "check-headers: $*" >&2; exit 1; }

mapfile -t headers < <(cd "$root" && find . -name '*.h' | sed 's|^\./||' | sort)
[ ${#headers[@]} -gt 0 ] || fail "no header under $root"
for header in "${headers[@]}"; do
    while read -r included; do
        [ -f "$root/$(dirname "$header")/$included" ] ||
            fail "tavrenly/$header includes \"$included\", which is not installed"
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$root/$header")
done
internal='\b(HMMIO|HACMSTREAM|HACMDRIVER|HKEY|MMIOINFO|MMCKINFO|ACMSTREAMHEADER|AVCodec\w*|soxr_\w*)\b'
if hits="$(grep -nwE "$internal" "${headers[@]/#/$root/}")"; then
    fail "installed headers show internal types:
$hits"
fi

# One compiler per header, as many at once as there are cores.
compile_one() {
    printf '#include <tavrenly/%s>\n' "$1" |
        "${CXX:-c++}" -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I "$2" -x c++ - ||
        { echo "check-headers: tavrenly/$1 does not compile on its own" >&2; return 1; }
}
export -f compile_one
printf '%s\n' "${headers[@]}" | xargs -P "$(nproc)" -I{} bash -c 'compile_one "$1" "$2"' _ {} \
    "$prefix/include" || fail "a header does not compile on its own"
echo "check-headers: ${#headers[@]} installed headers stand alone and include only each other"
