#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the libFuzzer targets with the `fuzz` preset and runs each on a fresh seed corpus,
# sharing FUZZ_SECONDS (default 60) between them. Exits non-zero when a target finds a crash,
# a sanitizer report or a broken invariant (the crashing input is kept in build/fuzz/artifacts).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
targets=(fuzz_wave_header fuzz_riff_walk fuzz_player_open fuzz_wave_metadata)
corpora=(wave_header riff_walk wave_header wave_header)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}" -j2

work=build/fuzz/run
rm -rf "$work"
mkdir -p "$work/artifacts"
bash scripts/make-fuzz-corpus.sh "$work/corpus"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
per=$(( seconds / ${#targets[@]} ))
(( per > 0 )) || per=1
status=0
for i in "${!targets[@]}"; do
    target="${targets[$i]}"
    echo "== $target for ${per}s"
    if ! "build/fuzz/fuzz/$target" "$work/corpus/${corpora[$i]}" \
        -max_total_time="$per" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" 2>"$work/$target.log"; then
        echo "$target FAILED; see $work/$target.log"
        tail -n 60 "$work/$target.log"
        status=1
    else
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$work/$target.log" || true
    fi
done
exit "$status"
