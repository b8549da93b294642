#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Compares the whole recording path (tavrenly_recorder_bench: the simulated engine's capture
# converted, compressed and written by a recorder in virtual time, 60 s per iteration) with
# ffmpeg (one thread) and sox doing the same conversion from a WAV file of $SECONDS_OF_AUDIO
# seconds (default 600), in the same run. Prints each realtime factor (seconds of audio per
# CPU second) and ours divided by the tool's.
#
# Usage: bench/compare_recording.sh [BUILD_DIR]   (default: build/default)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/default}" && pwd)"
bench="$build/bench/tavrenly_recorder_bench"
seconds="${SECONDS_OF_AUDIO:-600}"
[ -x "$bench" ] || { echo "compare: build tavrenly_recorder_bench first ($bench)" >&2; exit 1; }

inputs="$(mktemp -d "${TMPDIR:-/tmp}/tavrenly-recording.XXXXXX")"
trap 'rm -rf "$inputs"' EXIT
cd "$inputs"
# shellcheck source=bench/compare_lib.sh
source "$here/compare_lib.sh"

echo "compare: making ${seconds} s inputs in $inputs" >&2
sox -R -r 44100 -c 2 -n -b 16 in44s.wav synth "$seconds" whitenoise vol 0.5
sox -R -r 48000 -c 2 -n -b 16 in48s.wav synth "$seconds" whitenoise vol 0.5

echo "compare: running tavrenly_recorder_bench" >&2
"$bench" --benchmark_min_time=2 --benchmark_out="$inputs/bench.json" \
    --benchmark_out_format=json >/dev/null

header recording

ff=(ffmpeg -nostdin -v error -threads 1)
row "capture to 44.1k PCM" BM_RecordPcm44Stereo ffmpeg "${ff[@]}" -i in44s.wav -f wav -y out.wav
row "capture to 44.1k PCM" BM_RecordPcm44Stereo sox sox -D in44s.wav out.wav
row "48k capture to 44.1k" BM_RecordPcm48At44 ffmpeg "${ff[@]}" -i in48s.wav -ar 44100 -f wav -y out.wav
row "48k capture to 44.1k" BM_RecordPcm48At44 sox sox -D in48s.wav out.wav rate -h 44100
row "capture to MP2 256k" BM_RecordMp2At256k ffmpeg "${ff[@]}" -i in44s.wav -c:a mp2 -b:a 256k -f wav -y out.wav
row "capture to IMA ADPCM" BM_RecordImaAdpcm ffmpeg "${ff[@]}" -i in44s.wav -c:a adpcm_ima_wav -f wav -y out.wav
row "capture to IMA ADPCM" BM_RecordImaAdpcm sox sox -D in44s.wav -e ima-adpcm out.wav
