// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/base/Types.h"

#include <limits>

namespace tavrenly {

int32_t RoundToInt32(double value)
{
    const double rounded = RoundHalfEven(value);
    if (!(rounded >= static_cast<double>(std::numeric_limits<int32_t>::min()) &&
          rounded <= static_cast<double>(std::numeric_limits<int32_t>::max())))
        throw RuntimeError(RuntimeError::kOverflow, "Overflow");
    return static_cast<int32_t>(rounded);
}

} // namespace tavrenly
