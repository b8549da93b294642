#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs every Debian package that building, testing, benchmarking and fuzzing need.
# Idempotent: packages already present are skipped, so `make test` can call it each time.
set -euo pipefail

PACKAGES=(
    # build, and the API reference (make docs)
    build-essential cmake ninja-build pkg-config clang-format doxygen
    # fuzzing (libFuzzer ships with clang; the runtimes come from libclang-rt)
    clang libclang-rt-14-dev
    # libraries the project links
    libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libsoxr-dev libebur128-dev
    librtaudio-dev libasound2-dev libpulse-dev libcli11-dev libfmt-dev nlohmann-json3-dev
    # tests and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev
    sox libsox-fmt-all ffmpeg sndfile-programs libsndfile1-dev
    pulseaudio pulseaudio-utils groff-base
    # the bus service: sd-bus, and the clients its tests drive it with
    libsystemd-dev dbus-daemon python3-dbus python3-gi libglib2.0-bin playerctl
)

missing=()
for package in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
