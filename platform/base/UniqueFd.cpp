// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/base/UniqueFd.h"

#include <unistd.h>

namespace tavrenly {

int UniqueFd::Close() noexcept
{
    const int fd = Release();
    return fd >= 0 ? ::close(fd) : 0;
}

} // namespace tavrenly
