// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Public enumerations and records of the player's interface.

#include "../common/ControlTypes.h"
#include "../platform/base/Types.h"

#include <cstddef>
#include <cstdint>

namespace tavrenly {

enum ePlyStatus : int32_t
{
    epsClosed = 0,
    epsCued = 5,
    epsPaused = 10,
    epsPlaying = 20,
};

enum eAudioPart : int32_t
{
    eapEMPTY = 0,
    eapPREINTRO = 5,
    eapDURINGINTRO = 10,
    eapMAIN = 15,
    eapEXTRO = 20,
};

enum eFadeMode : int32_t
{
    efmNormal = 0,
    efmSlowStart = 1,
    efmFastStart = 2,
};

#pragma pack(push, 1)
/// One scheduled volume change; handed to the host as is, so its layout is fixed (36 bytes,
/// little-endian, booleans 16-bit).
struct VCHEV
{
    int16_t Reference; ///< the host's reference; -1 marks a free slot
    int16_t Filler1;
    float StartTime;   ///< file time, seconds
    float Duration;    ///< seconds; 0 = a jump at StartTime
    float StartVolume; ///< 0..100
    float EndVolume;   ///< 0..100
    Bool16 NotifiedStart;
    Bool16 NotifiedEnd;
    float NotifyVolume; ///< below 0 = no VolumeChangeNotify
    Bool16 Notified;
    Bool16 RemoveWhenComplete;
    Bool16 SetVolumePermanently;
    int16_t Filler2;
};
#pragma pack(pop)
static_assert(sizeof(VCHEV) == 36, "a volume change record is 36 bytes");
static_assert(offsetof(VCHEV, NotifyVolume) == 24 && offsetof(VCHEV, SetVolumePermanently) == 32,
              "volume change record layout");

/// Number of slots in the volume envelope.
inline constexpr int kVolumeChangeSlots = 10;

} // namespace tavrenly
