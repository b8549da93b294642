#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Writes the seed corpora of the fuzz targets: small WAVE files made by sox and ffmpeg (the
# layouts real tools write) and byte-built RIFF layouts (chunks between and around "fmt " and
# "data", odd sizes, nested LIST forms, cut-off and lying sizes).
#   make-fuzz-corpus.sh OUTDIR   -> OUTDIR/wave_header/ and OUTDIR/riff_walk/
set -euo pipefail

out="${1:?usage: make-fuzz-corpus.sh OUTDIR}"
wave="$out/wave_header"
walk="$out/riff_walk"
mkdir -p "$wave" "$walk"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Little-endian 32-bit value as printf escapes.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
# chunk ID BODYFILE: the chunk with its pad byte.
chunk() {
    local size
    size=$(stat -c %s "$2")
    printf '%s' "$1"
    printf "$(le32 "$size")"
    cat "$2"
    if (( size % 2 )); then printf '\x00'; fi
}
# riff FILE...: a RIFF WAVE form around the given chunk files; RIFF_SIZE overrides its size.
riff() {
    local body="$tmp/body" size
    cat "$@" > "$body"
    size=${RIFF_SIZE:-$(( $(stat -c %s "$body") + 4 ))}
    printf 'RIFF'
    printf "$(le32 "$size")"
    printf 'WAVE'
    cat "$body"
}

# Tool-made files, kept short: the fuzzer mutates headers, not audio.
sox -q -n -r 8000 -c 1 -b 8 -e unsigned-integer "$tmp/t1.wav" synth 40s sine 440
sox -q -n -r 44100 -c 2 -b 16 "$tmp/t2.wav" synth 40s sine 440
sox -q -n -r 48000 -c 2 -b 24 "$tmp/t3.wav" synth 20s sine 440
sox -q -n -r 22050 -c 1 -e ima-adpcm "$tmp/t4.wav" synth 600s sine 440
sox -q -n -r 11025 -c 2 -e ms-adpcm "$tmp/t5.wav" synth 600s sine 440
sox -q -n -r 8000 -c 1 -e a-law "$tmp/t6.wav" synth 40s sine 440
ffmpeg -v error -y -f lavfi -i sine=sample_rate=48000:duration=0.03 -c:a mp2 "$tmp/t7.wav"
ffmpeg -v error -y -f lavfi -i sine=sample_rate=22050:duration=0.005 -c:a pcm_s16le "$tmp/t8.wav"

# Byte-built layouts.
printf '\x01\x00\x02\x00\x44\xac\x00\x00\x10\xb1\x02\x00\x04\x00\x10\x00' > "$tmp/fmt16"
{ cat "$tmp/fmt16"; printf '\x06\x00abcdef'; } > "$tmp/fmt24"
printf '0101' > "$tmp/cart"; head -c 60 /dev/zero >> "$tmp/cart"
printf 'abc' > "$tmp/odd"
printf '\x01\x02\x03\x04\x05\x06\x07\x08' > "$tmp/audio"
: > "$tmp/empty"
{ printf 'INFO'; chunk ISFT "$tmp/odd"; chunk INAM "$tmp/audio"; } > "$tmp/info"
chunk 'fmt ' "$tmp/fmt16" > "$tmp/c_fmt16"
chunk 'fmt ' "$tmp/fmt24" > "$tmp/c_fmt24"
chunk 'fmt ' "$tmp/empty" > "$tmp/c_fmt0"
chunk data "$tmp/audio" > "$tmp/c_data"
chunk data "$tmp/odd" > "$tmp/c_dataodd"
chunk cart "$tmp/cart" > "$tmp/c_cart"
chunk bext "$tmp/odd" > "$tmp/c_bext"
chunk LIST "$tmp/info" > "$tmp/c_list"

riff "$tmp/c_fmt16" "$tmp/c_data" > "$tmp/b1.wav"
riff "$tmp/c_cart" "$tmp/c_bext" "$tmp/c_fmt24" "$tmp/c_list" "$tmp/c_dataodd" > "$tmp/b2.wav"
riff "$tmp/c_data" "$tmp/c_fmt16" > "$tmp/b3.wav"
riff "$tmp/c_fmt0" "$tmp/c_data" > "$tmp/b4.wav"
riff "$tmp/c_fmt16" > "$tmp/b5.wav"
RIFF_SIZE=0 riff "$tmp/c_fmt16" "$tmp/c_data" > "$tmp/b6.wav"
RIFF_SIZE=4294967295 riff "$tmp/c_fmt16" "$tmp/c_data" > "$tmp/b7.wav"
head -c 40 "$tmp/b2.wav" > "$tmp/b8.wav"
{ cat "$tmp/b1.wav"; chunk LIST "$tmp/info"; } > "$tmp/b9.wav"

for f in "$tmp"/t*.wav "$tmp"/b*.wav; do
    name="$(basename "$f" .wav)"
    cp "$f" "$wave/$name"
    # The walk target takes one leading byte that picks the I/O buffer size.
    for lead in '\x00' '\x05' '\xff'; do
        { printf "$lead"; cat "$f"; } > "$walk/$name-$(printf "$lead" | od -An -tx1 | tr -d ' ')"
    done
done
echo "seed corpus: $(ls "$wave" | wc -l) header files, $(ls "$walk" | wc -l) walk files in $out"
