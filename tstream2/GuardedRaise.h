// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Every engine raises its events the same way: a listener may destroy the engine from inside
// any event, so after each raise the engine looks at a token it owns before touching itself.

#include <memory>

namespace tavrenly {

/// Calls `raise(*listener)` when there is a listener. Returns false when the listener destroyed
/// the engine whose `alive` token is given (the caller must then touch nothing of itself).
template <typename Listener, typename Fn>
bool RaiseGuarded(Listener* listener, const std::shared_ptr<int>& alive, Fn&& raise)
{
    if (listener == nullptr)
        return true;
    const std::weak_ptr<int> watch = alive;
    raise(*listener);
    return !watch.expired();
}

} // namespace tavrenly
