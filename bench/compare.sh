#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Compares the codec pipelines of tavrenly_codec_bench with ffmpeg (one thread) and sox on the
# same inputs, in the same run: makes the inputs (600 s each, or $SECONDS_OF_AUDIO), runs the
# benchmark, times each tool's CPU (user + system), and prints each realtime factor (seconds
# of audio per CPU second) and our factor divided by the tool's.
#
# Usage: bench/compare.sh [BUILD_DIR]   (default: build/default)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/default}" && pwd)"
bench="$build/bench/tavrenly_codec_bench"
seconds="${SECONDS_OF_AUDIO:-600}"
[ -x "$bench" ] || { echo "compare: build tavrenly_codec_bench first ($bench)" >&2; exit 1; }

inputs="$(mktemp -d "${TMPDIR:-/tmp}/tavrenly-compare.XXXXXX")"
trap 'rm -rf "$inputs"' EXIT
cd "$inputs"
# shellcheck source=bench/compare_lib.sh
source "$here/compare_lib.sh"

echo "compare: making ${seconds} s inputs in $inputs" >&2
sox -R -r 44100 -c 2 -n -b 16 in44s.wav synth "$seconds" pinknoise vol 0.5
sox -R -r 22050 -c 1 -n -b 16 in22m.wav synth "$seconds" pinknoise vol 0.5
sox -R -r 44100 -c 2 -n -b 24 in24.wav synth "$seconds" pinknoise vol 0.5
ffmpeg -nostdin -v error -i in44s.wav -c:a mp2 -b:a 256k -y mp2.wav
ffmpeg -nostdin -v error -i in44s.wav -c:a adpcm_ima_wav -y ima.wav

echo "compare: running tavrenly_codec_bench" >&2
TAVRENLY_BENCH_INPUTS="$inputs" "$bench" --benchmark_min_time=2 \
    --benchmark_out="$inputs/bench.json" --benchmark_out_format=json >/dev/null

header pipeline

ff=(ffmpeg -nostdin -v error -threads 1)
row "44.1k->48k stereo" BM_Resample44To48Stereo ffmpeg "${ff[@]}" -i in44s.wav -ar 48000 -f wav -y /dev/null
row "44.1k->48k stereo" BM_Resample44To48Stereo sox sox -D in44s.wav -t wav /dev/null rate -h 48000
row "22.05k mono->44.1k stereo" BM_Resample22MonoTo44Stereo ffmpeg "${ff[@]}" -i in22m.wav -ar 44100 -ac 2 -f wav -y /dev/null
row "22.05k mono->44.1k stereo" BM_Resample22MonoTo44Stereo sox sox -D in22m.wav -t wav /dev/null rate -h 44100 channels 2
row "MP2 256k decode" BM_DecodeMp2At256k ffmpeg "${ff[@]}" -i mp2.wav -f wav -y /dev/null
row "IMA ADPCM decode" BM_DecodeImaAdpcm ffmpeg "${ff[@]}" -i ima.wav -f wav -y /dev/null
row "IMA ADPCM decode" BM_DecodeImaAdpcm sox sox -D ima.wav -b 16 -t wav /dev/null
row "MP2 256k encode" BM_EncodeMp2At256k ffmpeg "${ff[@]}" -i in44s.wav -c:a mp2 -b:a 256k -f wav -y /dev/null
row "24-bit->16-bit" BM_Convert24To16Bits ffmpeg "${ff[@]}" -i in24.wav -c:a pcm_s16le -f wav -y /dev/null
row "24-bit->16-bit" BM_Convert24To16Bits sox sox -D in24.wav -b 16 -t wav /dev/null
