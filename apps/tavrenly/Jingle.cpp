// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Jingle.h"

#include "common/WaveFileWriter.h"
#include "platform/base/WaveFormat.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace tavrenly::app {

namespace {

/// A tone with a short attack and an exponential decay, so notes do not click.
double Note(double t, double frequency, double start, double length)
{
    if (t < start || t >= start + length)
        return 0.0;
    const double local = t - start;
    const double attack = std::min(local / 0.01, 1.0);
    const double release = std::min((start + length - t) / 0.02, 1.0);
    const double decay = std::exp(-local * 1.5);
    return attack * release * decay * std::sin(2.0 * std::numbers::pi * frequency * local);
}

} // namespace

std::vector<int16_t> MakeJingle()
{
    const size_t frames = static_cast<size_t>(kJingleRate * kJingleSeconds);
    std::vector<int16_t> samples(frames * 2);
    std::mt19937 random(2026);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    // An arpeggio up (intro), a noise burst, a held chord with a slow tremolo, a last chord.
    const double arpeggio[] = {523.25, 659.25, 783.99, 1046.50};
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kJingleRate;
        double left = 0.0;
        double right = 0.0;
        for (int n = 0; n < 4; ++n) {
            const double v = Note(t, arpeggio[n], 0.5 * n, 0.6);
            left += v * (n % 2 == 0 ? 0.8 : 0.4);
            right += v * (n % 2 == 0 ? 0.4 : 0.8);
        }
        if (t >= 2.0 && t < 2.3) {
            const double burst = noise(random) * (2.3 - t) / 0.3 * 0.5;
            left += burst;
            right += burst;
        }
        if (t >= 2.3 && t < 8.0) {
            const double tremolo = 0.75 + 0.25 * std::sin(2.0 * std::numbers::pi * 3.0 * t);
            const double chord =
                Note(t, 261.63, 2.3, 5.7) + Note(t, 329.63, 2.3, 5.7) + Note(t, 392.00, 2.3, 5.7);
            left += 0.3 * tremolo * chord;
            right += 0.3 * tremolo * chord;
        }
        if (t >= 8.0) {
            const double last = Note(t, 523.25, 8.0, 2.0) + Note(t, 783.99, 8.0, 2.0);
            left += 0.4 * last;
            right += 0.4 * last;
        }
        samples[2 * i] = static_cast<int16_t>(std::lround(std::clamp(left, -1.0, 1.0) * 30000.0));
        samples[2 * i + 1] =
            static_cast<int16_t>(std::lround(std::clamp(right, -1.0, 1.0) * 30000.0));
    }
    return samples;
}

bool WritePcm16Wave(const std::string& path, const std::vector<int16_t>& samples,
                    uint32_t sampleRate, uint16_t channels)
{
    const WAVEFORMATEX pcm = MakePcm16Format(sampleRate, channels);
    return WriteWaveFile(path, RecordBytes(pcm), AsBytes(std::span(samples))) == 0;
}

} // namespace tavrenly::app
