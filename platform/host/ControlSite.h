// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The container side of one embedded control: where its property-changed notifications, its
// modal message boxes and its event loop come from.

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrenly {

class EventLoop;

/// Message box styles the controls use.
enum MessageBoxStyle : int32_t
{
    kMessageOk = 0,           ///< OK button only, no icon
    kMessageCritical = 16,    ///< critical icon, OK
    kMessageInformation = 64, ///< information icon, OK
};

/// Answer of a message box: the controls only show OK boxes.
inline constexpr int32_t kMessageAnswerOk = 1;

/// What a host gives an embedded control: its event loop, message boxes and notifications.
class ControlSite
{
public:
    virtual ~ControlSite() = default;

    /// The host's saved settings of the control are out of date: `name` changed.
    virtual void PropertyChanged(std::string_view name) = 0;
    /// Shows a modal box and returns when it is closed; returns the button pressed (OK = 1).
    /// Runs on the UI thread; may run the event loop while it waits.
    virtual int32_t ShowMessage(std::string_view text, int32_t style, std::string_view title) = 0;
    /// The loop the control lives on. Outlives the control.
    virtual EventLoop& Loop() = 0;
};

/// The site for a host without a desktop: each box is written to standard error as
/// "[title] text" and answered OK at once; notifications are ignored.
class HeadlessSite : public ControlSite
{
public:
    explicit HeadlessSite(EventLoop& loop) : m_loop(loop) {}
    void PropertyChanged(std::string_view name) override;
    int32_t ShowMessage(std::string_view text, int32_t style, std::string_view title) override;
    EventLoop& Loop() override { return m_loop; }

private:
    EventLoop& m_loop;
};

} // namespace tavrenly
