// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What the play and record commands share on a terminal: the status line redrawn in place, and
// the signals that end (or resume) a run.

#include <cstddef>
#include <cstdint>
#include <string>
#include <termios.h>

namespace tavrenly::app {

/// The columns of the terminal on standard output, less one (a line that fills the last
/// column wraps on some terminals); 80 less one when it cannot be told.
size_t TerminalColumns();

/// True when `fd` is a terminal and this process is in its foreground process group. Only then
/// may the program change the terminal's modes or read keys from it (in the background either
/// stops the process, with SIGTTOU or SIGTTIN), and only then is a status line drawn for
/// someone watching: a job put in the background runs as when its output is no terminal.
bool InTerminalForeground(int fd);

/// Prints what a device engine says went wrong with its device, on standard error; each
/// sentence once, however often it is asked; "" says nothing. The engines only record their
/// problems: saying them is the program's business.
void SayProblem(const std::string& problem);

/// Declared after a control's event printer, detaches the printer from the control on every
/// way out of the run: the control outlives the printer, and its destructor closes whatever is
/// still open, which would raise events to a printer that is gone.
template <typename Control> class DetachListenerAtExit
{
public:
    explicit DetachListenerAtExit(Control& control) : m_control(control) {}
    ~DetachListenerAtExit() { m_control.SetEventListener(nullptr); }
    DetachListenerAtExit(const DetachListenerAtExit&) = delete;
    DetachListenerAtExit& operator=(const DetachListenerAtExit&) = delete;

private:
    Control& m_control;
};

/// One status line on a terminal, redrawn in place. Lines printed in between clear it first.
/// While the job is in the background it is not drawn.
class LiveLine
{
public:
    void Draw(const std::string& text);
    void Clear();

private:
    bool m_shown = false;
};

/// While alive, a terminal on standard input hands over each key as it is pressed, without
/// echo; the terminal's own settings come back at destruction (and the keys are not read when
/// standard input is no terminal). A job in the background leaves the terminal alone and reads
/// no keys; brought to the foreground, it takes the keys from then on.
class TerminalKeys
{
public:
    TerminalKeys();
    ~TerminalKeys();
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;

    /// The next key pressed, or 0 when none is waiting. Never blocks.
    char Take();

private:
    void Activate();

    bool m_active = false;
    termios m_saved{};
};

/// While alive, SIGINT and SIGTERM ask the run to end and SIGUSR1 asks a paused recording to
/// resume; the handlers only set flags, read on the UI thread. The default handlers come back
/// at destruction. One at a time per process.
class RunSignals
{
public:
    RunSignals();
    ~RunSignals();
    RunSignals(const RunSignals&) = delete;
    RunSignals& operator=(const RunSignals&) = delete;

    bool Interrupted() const;
    /// True once per SIGUSR1 received since the last call.
    bool TakeResume();
};

} // namespace tavrenly::app
