// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What a simulated engine keeps of the calls made to it and the events it raised, so tests can
// check their order ("StartPlayback", "Volume=50", "event:PlaybackStarted"). The simulated
// engines raise through RaiseGuarded, as every engine does.

#include "tstream2/GuardedRaise.h"

#include <string>
#include <vector>

namespace tavrenly {

class EngineCallLog
{
public:
    const std::vector<std::string>& Calls() const { return m_calls; }
    void Clear() { m_calls.clear(); }
    /// Benchmarks switch the log off: an hour of buffers would otherwise fill it.
    void Keep(bool keep) { m_keep = keep; }
    bool Keeping() const { return m_keep; }

    void Call(const char* name)
    {
        if (m_keep)
            m_calls.emplace_back(name);
    }
    void Put(const char* name, const std::string& value)
    {
        if (m_keep)
            m_calls.push_back(std::string(name) + "=" + value);
    }
    void Event(const char* name)
    {
        if (m_keep)
            m_calls.push_back(std::string("event:") + name);
    }

private:
    std::vector<std::string> m_calls;
    bool m_keep = true;
};

} // namespace tavrenly
