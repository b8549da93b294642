#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Whole-process comparisons: the `tavrenly` program rendering an item (`play --render`, the
# simulated engine, as fast as it goes) beside sox and ffmpeg (one thread) doing the same
# conversion, on the same inputs ($SECONDS_OF_AUDIO, 600 s by default), in one interleaved
# run; then the many-players load on the real-clock loop.
#
# METER=cpu (default) compares user + system CPU seconds (/usr/bin/time); METER=callgrind
# compares instruction counts (valgrind), which stay the same on a busy machine. Each row
# prints ours, the tool's, ours / tool (below 1: we are cheaper) and our peak memory.
#
# Usage: bench/compare_process.sh [BUILD_DIR]   (default: build/default)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/default}" && pwd)"
tavrenly="$build/apps/tavrenly/tavrenly"
many="$build/bench/tavrenly_many_players"
seconds="${SECONDS_OF_AUDIO:-600}"
meter="${METER:-cpu}"
for program in "$tavrenly" "$many"; do
    [ -x "$program" ] || { echo "compare: build $(basename "$program") first" >&2; exit 1; }
done

inputs="$(mktemp -d "${TMPDIR:-/tmp}/tavrenly-process.XXXXXX")"
trap 'rm -rf "$inputs"' EXIT
cd "$inputs"

echo "compare: making ${seconds} s inputs in $inputs" >&2
sox -R -r 44100 -c 2 -n -b 16 in44s.wav synth "$seconds" pinknoise vol 0.5
sox -R -r 22050 -c 1 -n -b 16 in22m.wav synth "$seconds" pinknoise vol 0.5
sox -R -r 44100 -c 2 -n -b 24 in24.wav synth "$seconds" pinknoise vol 0.5
ffmpeg -nostdin -v error -i in44s.wav -c:a mp2 -b:a 256k -y mp2.wav
ffmpeg -nostdin -v error -i in44s.wav -c:a adpcm_ima_wav -y ima.wav

# Cost of one command: CPU seconds or instructions. Peak memory (KiB) goes to peak.txt.
cost() {
    /usr/bin/time -f '%U %S %M' -o time.txt "$@" >/dev/null 2>&1
    awk '{ print $3 }' time.txt >peak.txt
    if [ "$meter" = callgrind ]; then
        valgrind --tool=callgrind --callgrind-out-file=cg.out "$@" >/dev/null 2>cg.txt
        awk '/Collected :/ { print $4 }' cg.txt
        rm -f cg.out
    else
        awk '{ printf "%.3f", $1 + $2 }' time.txt
    fi
}

printf '%-30s %-7s %14s %14s %7s %9s\n' pipeline tool ours tool ratio "peak MiB"
row() { # name tool "our command" tool command...
    local name="$1" tool="$2" ourCommand="$3"
    shift 3
    local theirs ours peak
    theirs="$(cost "$@")"
    # shellcheck disable=SC2086
    ours="$(cost $ourCommand)"
    peak="$(awk '{ printf "%.0f", $1 / 1024 }' peak.txt)"
    printf '%-30s %-7s %14s %14s %7s %9s\n' "$name" "$tool" "$ours" "$theirs" \
        "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }')" "$peak"
}

play="$tavrenly play --quiet"
ff=(ffmpeg -nostdin -v error -threads 1)
soxr=(-af aresample=resampler=soxr:precision=20)
row "PCM 44.1k passthrough, file" sox "$play in44s.wav --render out.wav" sox -D in44s.wav out2.wav
row "44.1k->48k stereo" ffmpeg "$play in44s.wav --rate 48000 --render /dev/null" \
    "${ff[@]}" -i in44s.wav "${soxr[@]}" -ar 48000 -f wav -y /dev/null
row "44.1k->48k stereo" sox "$play in44s.wav --rate 48000 --render /dev/null" \
    sox -D in44s.wav -t wav /dev/null rate -v 48000
row "MP2 256k decode" ffmpeg "$play mp2.wav --render /dev/null" \
    "${ff[@]}" -i mp2.wav -f wav -y /dev/null
row "IMA ADPCM decode" ffmpeg "$play ima.wav --render /dev/null" \
    "${ff[@]}" -i ima.wav -f wav -y /dev/null
row "22.05k mono->44.1k stereo" ffmpeg "$play in22m.wav --render /dev/null" \
    "${ff[@]}" -i in22m.wav "${soxr[@]}" -ar 44100 -ac 2 -f wav -y /dev/null
row "24-bit->16-bit" ffmpeg "$play in24.wav --render /dev/null" \
    "${ff[@]}" -i in24.wav -c:a pcm_s16le -f wav -y /dev/null

sox -R -r 44100 -c 2 -n -b 16 short.wav synth 30 pinknoise vol 0.5
echo "many players (real clock, simulated engine, ${MANY_SECONDS:-10} s measured):"
for players in 100 1000; do
    "$many" "$players" "${MANY_SECONDS:-10}" short.wav
done
echo "many players (real clock, device engine on the null backend, one mixed stream):"
for players in 100 1000; do
    "$many" "$players" "${MANY_SECONDS:-10}" short.wav null
done
