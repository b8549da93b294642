#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Compares the whole playback path (tavrenly_player_bench: open, play to the end through the
# simulated engine in virtual time) with ffmpeg (one thread) and sox doing the same conversion
# on the same 600 s inputs ($SECONDS_OF_AUDIO), in the same run. Prints each realtime factor
# (seconds of audio per CPU second) and ours divided by the tool's.
#
# Usage: bench/compare_playback.sh [BUILD_DIR]   (default: build/default)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/default}" && pwd)"
bench="$build/bench/tavrenly_player_bench"
seconds="${SECONDS_OF_AUDIO:-600}"
[ -x "$bench" ] || { echo "compare: build tavrenly_player_bench first ($bench)" >&2; exit 1; }

inputs="$(mktemp -d "${TMPDIR:-/tmp}/tavrenly-playback.XXXXXX")"
trap 'rm -rf "$inputs"' EXIT
cd "$inputs"
# shellcheck source=bench/compare_lib.sh
source "$here/compare_lib.sh"

echo "compare: making ${seconds} s inputs in $inputs" >&2
sox -R -r 44100 -c 2 -n -b 16 in44s.wav synth "$seconds" pinknoise vol 0.5
sox -R -r 48000 -c 2 -n -b 16 in48s.wav synth "$seconds" pinknoise vol 0.5
sox -R -r 22050 -c 1 -n -b 16 in22m.wav synth "$seconds" pinknoise vol 0.5
ffmpeg -nostdin -v error -i in44s.wav -c:a mp2 -b:a 256k -y mp2.wav

echo "compare: running tavrenly_player_bench" >&2
TAVRENLY_BENCH_INPUTS="$inputs" "$bench" --benchmark_min_time=2 \
    --benchmark_out="$inputs/bench.json" --benchmark_out_format=json >/dev/null

header playback

ff=(ffmpeg -nostdin -v error -threads 1)
row "44.1k stereo passthrough" BM_PlayPcm44StereoPassthrough sox sox -D in44s.wav -t wav /dev/null
row "44.1k stereo passthrough" BM_PlayPcm44StereoPassthrough ffmpeg "${ff[@]}" -i in44s.wav -f wav -y /dev/null
row "48k stereo at 44.1k" BM_PlayPcm48StereoAt44 ffmpeg "${ff[@]}" -i in48s.wav -ar 44100 -f wav -y /dev/null
row "48k stereo at 44.1k" BM_PlayPcm48StereoAt44 sox sox -D in48s.wav -t wav /dev/null rate -h 44100
row "22.05k mono at 44.1k stereo" BM_PlayPcm22MonoAt44Stereo ffmpeg "${ff[@]}" -i in22m.wav -ar 44100 -ac 2 -f wav -y /dev/null
row "22.05k mono at 44.1k stereo" BM_PlayPcm22MonoAt44Stereo sox sox -D in22m.wav -t wav /dev/null rate -h 44100 channels 2
row "MP2 256k at 44.1k stereo" BM_PlayMp2At256k ffmpeg "${ff[@]}" -i mp2.wav -f wav -y /dev/null
