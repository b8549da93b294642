// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What the seeded host sequences share: the dice, the last few actions and events for the
// failure message, the first failure, and the number of steps a run takes.

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace tavrenly::test {

class RandomSequence
{
public:
    explicit RandomSequence(uint32_t seed) : m_random(seed) {}

    /// TAVRENLY_RANDOM_STEPS (steps per seed) when it is set, else `fallback`.
    static int Steps(int fallback)
    {
        const char* requested = std::getenv("TAVRENLY_RANDOM_STEPS");
        return requested != nullptr ? std::atoi(requested) : fallback;
    }

    std::string failure; ///< the first one, with the trail that led to it
    int64_t events = 0;

protected:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    float Uniform(float lo, float hi)
    {
        return std::uniform_real_distribution<float>(lo, hi)(m_random);
    }

    /// Keeps the last few actions and events for the failure message.
    void Note(std::string what)
    {
        m_trail.push_back(std::move(what));
        if (m_trail.size() > 24)
            m_trail.erase(m_trail.begin());
    }

    void Fail(const std::string& what)
    {
        if (!failure.empty())
            return;
        failure = what + " (event " + std::to_string(events) + "; last:";
        for (const std::string& t : m_trail)
            failure += " " + t;
        failure += ")";
    }

private:
    std::mt19937 m_random;
    std::vector<std::string> m_trail;
};

} // namespace tavrenly::test
