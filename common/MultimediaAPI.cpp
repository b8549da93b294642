// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/MultimediaAPI.h"

#include "platform/devices/Devices.h"
#include "platform/host/ControlSite.h"

#include <string>

namespace tavrenly {

namespace {

/// The size of the text buffer the platform's error text service is given.
constexpr uint32_t kErrorTextSize = 128;

} // namespace

int32_t CheckMultimediaResult(int32_t& code, Bool16& showMessage, std::string_view caption,
                              ControlSite& site)
{
    if (code == 0 || !IsTrue(showMessage))
        return code;

    char buffer[kErrorTextSize] = {};
    waveInGetErrorTextA(static_cast<uint32_t>(code), buffer, kErrorTextSize);
    std::string text = buffer;
    if (text.empty())
        text = "The Windows(TM) Multimedia Sub-System has returned with an unknown error, the "
               "code was: " +
               std::to_string(code);

    std::string title(kApplicationTitle);
    if (!caption.empty()) {
        title += " - ";
        title += caption;
    }
    site.ShowMessage(text, kMessageInformation, title);
    return code;
}

} // namespace tavrenly
