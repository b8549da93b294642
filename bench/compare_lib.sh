# SPDX-License-Identifier: LGPL-2.1-or-later
# Shared by the compare scripts (sourced, not run). Expects $inputs (scratch folder holding
# bench.json) and $seconds (seconds of audio in each input).

# CPU seconds (user + system) of one command.
cpu() {
    /usr/bin/time -f '%U %S' -o "$inputs/time.txt" "$@" >/dev/null 2>&1
    awk '{ printf "%.3f", $1 + $2 }' "$inputs/time.txt"
}

# Our realtime factor for one benchmark of bench.json.
ours() {
    python3 - "$inputs/bench.json" "$1" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
print("%.0f" % next(r["x_realtime"] for r in runs if r["name"] == sys.argv[2]))
PY
}

header() {  # first-column title
    printf '%-30s %-8s %10s %10s %8s\n' "$1" tool ours tool ratio
}

row() {  # name benchmark tool command...
    local name="$1" benchmark="$2" tool="$3"
    shift 3
    local used ourFactor toolFactor
    used="$(cpu "$@")"
    ourFactor="$(ours "$benchmark")"
    toolFactor="$(awk -v s="$seconds" -v c="$used" 'BEGIN { printf "%.0f", s / c }')"
    printf '%-30s %-8s %9sx %9sx %8s\n' "$name" "$tool" "$ourFactor" "$toolFactor" \
        "$(awk -v a="$ourFactor" -v b="$toolFactor" 'BEGIN { printf "%.2f", a / b }')"
}
