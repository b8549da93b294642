#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Fails when a library folder includes a folder it may not use (docs/ARCHITECTURE.md, "may
# use"), or when a third-party library is seen outside the one folder that wraps it. Reads the
# sources only: no build needed, and it takes well under a second.
set -euo pipefail
cd "$(dirname "$0")/.."

# folder -> the project folders its sources may include (its own included).
declare -A may_use=(
    [apps]="apps player recorder tstream2 common engine platform"
    [player]="player common engine platform"
    [recorder]="recorder common engine platform"
    [tstream2]="tstream2 engine platform"
    [common]="common engine platform"
    [engine]="engine platform/base"
    [platform]="platform"
)
# third-party header prefix -> the only folder that may include it.
declare -A wrapped_by=(
    ["libav"]="platform/codec"
    ["libsw"]="platform/codec"
    ["soxr"]="platform/codec"
    ["rtaudio/"]="tstream2"
)

failures=0
for folder in "${!may_use[@]}"; do
    [ -d "$folder" ] || continue
    while IFS=: read -r file line include; do
        target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$include")
        # A public header names the others by their path from its own folder ("../common/X.h"),
        # so that it resolves in an installed tree too: it is checked by the path it reaches.
        case "$target" in ../*) target=$(realpath -m --relative-to=. "$(dirname "$file")/$target") ;; esac
        allowed=0
        for use in ${may_use[$folder]}; do
            case "$target" in "$use"/*) allowed=1 ;; esac
        done
        if [ $allowed -eq 0 ]; then
            echo "$file:$line: $folder may not include \"$target\"" >&2
            failures=$((failures + 1))
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder" \
        --include='*.h' --include='*.cpp' | grep -E '"([a-z0-9_]+|\.\.)/' || true)
done

for prefix in "${!wrapped_by[@]}"; do
    owner=${wrapped_by[$prefix]}
    while IFS=: read -r file line _; do
        case "$file" in "$owner"/*) continue ;; esac
        echo "$file:$line: <$prefix...> may only be included in $owner/" >&2
        failures=$((failures + 1))
    done < <(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<$prefix" \
        apps player recorder tstream2 common engine platform \
        --include='*.h' --include='*.cpp' || true)
done

if [ $failures -ne 0 ]; then
    echo "check-includes: $failures include(s) against the layering table" >&2
    exit 1
fi
echo "check-includes: every include follows the layering table"
