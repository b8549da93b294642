#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds and runs the host project in host/ and the programs in examples/ against the library
# the way an integrator would.
#
#   check-package.sh installed BUILD_DIR WORK_DIR
#       installs BUILD_DIR (a configured and built tree of this project) into WORK_DIR/prefix,
#       then builds the host with find_package(Tavrenly) and with pkg-config and runs both;
#   check-package.sh subdir SOURCE_DIR WORK_DIR [cmake arguments...]
#       builds the host with add_subdirectory(SOURCE_DIR) and runs it, then does all of the
#       above with that tree.
#
# The installed headers must be the public ones alone, each standing on its own
# (check-headers.sh). A shared libtavrenly must carry its versioned soname and export the public
# interface only;
# tavrenly.pc must keep the flags of the libraries behind it from a host that does not need them.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mode="$1" tree="$2" work="$3"
shift 3
fail() { echo "check-package: $*" >&2; exit 1; }

# Every dynamic symbol a shared library defines must belong to this public interface.
public='^(tavrenly::(TavrenPlayer|TavrenPlayerEvents|TavrenRecorder|TavrenRecorderEvents|PlayerDispatch|RecorderDispatch|Dispatch|DispatchEventSink|Variant|InterfaceInfo|MemberInfo|EventInfo|EventLoop|Timer|ControlSite|HeadlessSite|PropertyBag|MemoryPropertyBag|IniFilePropertyBag|StreamPlay|StreamPlayEvents|StreamRecord|StreamRecordEvents|DiagnosticLog|RuntimeError)::|tavrenly::(CreateStreamPlay|CreateStreamRecord|ParseEngineKind|ResolveEngineKind|ChangeType|VarTypeName|DispatchErrorName|wave(Out|In)GetNumDevs|wave(Out|In)GetDevCapsA|waveInGetErrorTextA)\(|(typeinfo|vtable) for tavrenly::|TAVRENLY_[0-9.]+$)'
check_exports() {
    local library="$1"
    local headers
    headers="$(objdump -p "$library")"
    grep -q 'SONAME *libtavrenly\.so\.[0-9]*\.[0-9]*$' <<<"$headers" ||
        fail "$library has no versioned soname"
    local symbols
    # The names without their version node ("@@TAVRENLY_0.1"), one a line.
    symbols="$(nm -D --defined-only -C "$library" | cut -d' ' -f3- | sed 's/@@*TAVRENLY_[0-9.]*$//')"
    grep -qx 'tavrenly::TavrenPlayer::OpenAudio(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)' <<<"$symbols" ||
        fail "$library does not export TavrenPlayer::OpenAudio"
    local private
    private="$(grep -Ev "$public" <<<"$symbols" || true)"
    [ -z "$private" ] || fail "$library exports more than the public interface:
$(head -20 <<<"$private")"
    echo "check-package: $library exports $(wc -l <<<"$symbols") public symbols only"
}

run_host() {
    local host="$1"
    (cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
        "$host" "$work/take.wav") || fail "$host failed"
}

mkdir -p "$work"
work="$(cd "$work" && pwd)"
tree="$(cd "$tree" && pwd)"
if [ "$mode" = subdir ]; then
    cmake -S "$here/host" -B "$work/subdir" -DTAVRENLY_SOURCE_DIR="$tree" "$@" >/dev/null
    cmake --build "$work/subdir" -j "$(nproc)"
    run_host "$work/subdir/host"
    shared="$(find "$work/subdir/tavrenly" -maxdepth 1 -name 'libtavrenly.so.*' | head -1)"
    [ -z "$shared" ] || check_exports "$shared"
    tree="$work/subdir"
elif [ "$mode" != installed ]; then
    fail "unknown mode $mode"
fi

rm -rf "$work/prefix"
cmake --install "$tree" --prefix "$work/prefix" >/dev/null
# The headers sit in one folder of their own: nothing else lands at the include root.
[ "$(ls "$work/prefix/include")" = tavrenly ] || fail "headers outside include/tavrenly"
[ -f "$work/prefix/include/tavrenly/player/TavrenPlayer.h" ] || fail "player header missing"
bash "$here/check-headers.sh" "$work/prefix"
[ -f "$work/prefix/share/doc/tavrenly/LICENSE" ] || fail "the licence is not installed"
if [ -x "$work/prefix/bin/tavrenly" ]; then
    page="$work/prefix/share/man/man1/tavrenly.1"
    grep -q '^\.SH "tavrenly play"' "$page" ||
        fail "the manual page is missing or has no play section"
    for section in NAME SYNOPSIS DESCRIPTION '"EXIT STATUS"' ENVIRONMENT FILES EXAMPLES; do
        grep -qx ".SH $section" "$page" || fail "the manual page has no $section section"
    done
    # Set for an 80-column terminal, no line of it is wider.
    wide="$(groff -man -Tutf8 -rLL=80n -P-cbou "$page" 2>/dev/null | LC_ALL=C.UTF-8 wc -L)"
    [ "$wide" -le 80 ] || fail "the manual page has lines $wide columns wide on an 80-column terminal"
fi

cmake -S "$here/host" -B "$work/found" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/found"
run_host "$work/found/host"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
shared="$(find "$work/prefix/lib" -maxdepth 1 -name 'libtavrenly.so.*' | head -1)"
# The libraries behind ours reach a host only where it needs them: at the link of a static
# libtavrenly, through --static. No compile gets a flag of theirs, a shared library's host none.
third_party='rtaudio|__LINUX_|__UNIX_|-lav|avcodec|soxr|pulse|asound|-lfmt'
plain="$(pkg-config --cflags --libs tavrenly)"
static="$(pkg-config --static --cflags --libs tavrenly)"
! grep -qE "$third_party" <<<"$plain" || fail "a host gets the flags of our dependencies: $plain"
[ -z "$shared" ] || [ "$static" = "$plain" ] || fail "--static adds to a shared library: $static"
# shellcheck disable=SC2086 # the flags are words
"${CXX:-c++}" -std=c++20 -o "$work/pkg-config-host" "$here/host/Host.cpp" $static
run_host "$work/pkg-config-host"

# The examples, built as their README says and run on the simulated engines: a take with a
# title, then that take played and run into itself. Their whole output is compared: every line
# is a moment of virtual time the controls reported.
examples="$(cd "$here/../../examples" && pwd)"
cmake -S "$examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/examples"
run_example() {
    local expected="$1"
    shift
    local got
    got="$(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
        "$work/examples/$1" --engine=simulated "${@:2}")" || fail "example $1 failed"
    [ "$got" = "$expected" ] || fail "example $1 printed
$got
instead of
$expected"
}
rm -f "$work/example-take.wav"
run_example 'input: Default input device
recording
kept example-take.wav: 3.00 s, title "Example take"' record-take example-take.wav 3 'Example take'
# The cart record follows its version, "0101", in the file's bytes.
grep -qa '0101Example take' "$work/example-take.wav" || fail "the take carries no title"
run_example 'opened example-take.wav: 3.00 s
playing example-take.wav
position 0 s, 3.0 s to go
position 1 s, 2.0 s to go
marker intro end at 1.00 s
position 2 s, 1.0 s to go
position 3 s, 0.0 s to go
marker extro at 3.00 s
marker audio end at 3.00 s' play-file example-take.wav
run_example 'player 1: 3.00 s, extro at 2.00 s; player 2: 3.00 s; fade 1.0 s
player 1: fade out starts at 2.00 s
player 1: extro at 2.00 s, player 2 starts
player 2: playing
player 1: fade out ends at 3.00 s
player 1: ended
player 2: ended after 3.00 s' segue example-take.wav example-take.wav 1
echo "check-package: the examples recorded, played and ran a segue"

[ -z "$shared" ] || check_exports "$shared"
echo "check-package: $mode: find_package, pkg-config$([ "$mode" = subdir ] && echo ", add_subdirectory") hosts passed"
