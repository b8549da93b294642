#!/usr/bin/env bash
# Writes the manual page tavrenly.1 from the program's own --help texts, so the page says
# what the program says.  Usage: make-manpage.sh PROGRAM OUTPUT VERSION
set -euo pipefail
program="$1" output="$2" version="$3"

# Help text as roff: verbatim lines, backslashes and leading control characters escaped.
verbatim() {
    echo ".nf"
    sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
    echo ".fi"
}

commands="$("$program" --help | awk '/^Subcommands:/ { on = 1; next } on && NF == 0 { on = 0 } on { print $1 }')"
{
    echo ".TH TAVRENLY 1 \"\" \"tavrenly $version\" \"User Commands\""
    echo ".SH NAME"
    echo "tavrenly \\- play, record and inspect WAVE files with the broadcast player and recorder controls"
    echo ".SH SYNOPSIS"
    echo ".B tavrenly"
    echo ".I command"
    echo "[\\fIoptions\\fR]"
    echo ".SH DESCRIPTION"
    "$program" --help | verbatim
    for command in $commands; do
        echo ".SH \"tavrenly $command\""
        "$program" "$command" --help | verbatim
    done
    echo ".SH FILES"
    echo ".TP"
    echo ".I \$TAVRENLY_SYSCONFDIR/Corvane/TavrenStream.conf"
    echo "Machine-wide settings (default folder /etc/xdg): FadeMode, FlushBuffers,"
    echo "FlushBufferLengthms, Engine, AudioApi, as Name=value lines."
} >"$output.tmp"
mv "$output.tmp" "$output"
