#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Writes the manual page tavrenly.1 from the program's own --help texts, so the page says
# what the program says: each option becomes a tagged paragraph that man wraps to the reader's
# terminal, each command a section.  Usage: make-manpage.sh PROGRAM OUTPUT VERSION
set -euo pipefail
program="$1" output="$2" version="$3"

# One help text as roff. The help is laid out in columns: an item ("  --rate INT  Capture
# rate") starts two spaces in, its description follows after two or more spaces or on the
# lines below, indented deeper; a line at the margin is prose (a usage line, a footer).
# The footer of every help is the exit status rule, which has a section of its own.
to_roff() {
    awk '
    function esc(s) { gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s); sub(/^[.'"'"']/, "\\\\\\&&", s); return s }
    function flush() { if (item != "") { print ".TP"; print "\\fB" esc(item) "\\fR"; print esc(desc) } item = ""; desc = "" }
    /^Exit status:/ { flush(); next }
    /^(Positionals|Options|Subcommands):$/ { flush(); print ".SS " $0; sub(/:$/, ""); next }
    /^Usage: / { flush(); print ".PP"; print "\\fBUsage:\\fR " esc(substr($0, 8)); next }
    /^  [^ ]/ {
        flush()
        line = substr($0, 3)
        split_at = match(line, /  +/)
        if (split_at > 0) { item = substr(line, 1, split_at - 1); desc = substr(line, split_at + RLENGTH) }
        else { item = line; desc = "" }
        next
    }
    /^   +[^ ]/ { text = $0; sub(/^ +/, "", text); desc = desc == "" ? text : desc " " text; next }
    NF == 0 { flush(); next }
    { flush(); print ".PP"; print esc($0) }
    END { flush() }'
}

help="$("$program" --help)"
commands="$(awk '/^Subcommands:/ { on = 1; next } on && NF == 0 { on = 0 } on { print $1 }' <<<"$help")"
exit_status="$(grep '^Exit status:' <<<"$help" | sed 's/^Exit status: //')"
{
    echo ".TH TAVRENLY 1 \"\" \"tavrenly $version\" \"User Commands\""
    echo ".SH NAME"
    echo "tavrenly \\- play, record and inspect WAVE files with the broadcast player and recorder controls"
    echo ".SH SYNOPSIS"
    for command in $commands; do
        echo ".br"
        echo ".B tavrenly $command"
        echo "[\\fIoptions\\fR]"
    done
    echo ".SH DESCRIPTION"
    to_roff <<<"$help"
    for command in $commands; do
        echo ".SH \"tavrenly $command\""
        "$program" "$command" --help | to_roff
    done
    echo ".SH \"EXIT STATUS\""
    # "0 done (...); 1 ...; 2 ...": one tagged paragraph per status.
    tr ';' '\n' <<<"$exit_status" | sed 's/^ *//' | while read -r code text; do
        echo ".TP"
        echo ".B $code"
        echo "$text"
    done
    echo ".SH ENVIRONMENT"
    echo ".TP"
    echo ".B TAVRENLY_AUDIO_API"
    echo "The sound system the device engine uses: jack, pulse or alsa (by default the first of"
    echo "them that has a device)."
    echo ".TP"
    echo ".B TAVRENLY_SYSCONFDIR"
    echo "The folder of the machine-wide settings (default /etc/xdg)."
    echo ".TP"
    echo ".B TMPDIR"
    echo "Where a recording is written until it is closed and moved to its name (unless"
    echo "\\-\\-direct); its free space limits the recording."
    echo ".TP"
    echo ".B PULSE_SERVER"
    echo "The PulseAudio server to play to and record from, as for any PulseAudio client."
    echo ".SH FILES"
    echo ".TP"
    echo ".I \$TAVRENLY_SYSCONFDIR/Corvane/TavrenStream.conf"
    echo "Machine-wide settings: FadeMode, FlushBuffers, FlushBufferLengthms, Engine, AudioApi, as"
    echo "Name=value lines."
    echo ".SH EXAMPLES"
    echo ".TP"
    echo ".B tavrenly play jingle.wav news.wav \\-\\-events"
    echo "Plays two items one after the other and prints their events."
    echo ".TP"
    echo ".B tavrenly record take.wav \\-\\-length 60 \\-\\-cart Title=News"
    echo "Records a minute from the default input into take.wav with a cart chunk."
    echo ".TP"
    echo ".B tavrenly info \\-\\-json *.wav"
    echo "Describes every file as one JSON object a line."
    echo ".TP"
    echo ".B tavrenly repair \\-\\-scan /var/tmp"
    echo "Makes the recordings a crash left behind playable."
} >"$output.tmp"
mv "$output.tmp" "$output"
