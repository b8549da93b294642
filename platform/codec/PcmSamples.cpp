// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/codec/PcmSamples.h"

namespace tavrenly::codec {

namespace {

template <SampleKind S, SampleKind D> FrameConverter PickMap(ChannelMap map) noexcept
{
    switch (map) {
    case ChannelMap::Same:
        return &samples::ConvertFrames<S, D, ChannelMap::Same>;
    case ChannelMap::MonoToStereo:
        return &samples::ConvertFrames<S, D, ChannelMap::MonoToStereo>;
    case ChannelMap::StereoToMono:
        return &samples::ConvertFrames<S, D, ChannelMap::StereoToMono>;
    }
    return nullptr;
}

template <SampleKind S> FrameConverter PickDest(SampleKind dest, ChannelMap map) noexcept
{
    switch (dest) {
    case SampleKind::U8:
        return PickMap<S, SampleKind::U8>(map);
    case SampleKind::S16:
        return PickMap<S, SampleKind::S16>(map);
    case SampleKind::S24:
        return PickMap<S, SampleKind::S24>(map);
    case SampleKind::S32:
        return PickMap<S, SampleKind::S32>(map);
    case SampleKind::F32:
        return PickMap<S, SampleKind::F32>(map);
    case SampleKind::F64:
        return PickMap<S, SampleKind::F64>(map);
    }
    return nullptr;
}

} // namespace

FrameConverter PickFrameConverter(SampleKind source, SampleKind dest, ChannelMap map) noexcept
{
    switch (source) {
    case SampleKind::U8:
        return PickDest<SampleKind::U8>(dest, map);
    case SampleKind::S16:
        return PickDest<SampleKind::S16>(dest, map);
    case SampleKind::S24:
        return PickDest<SampleKind::S24>(dest, map);
    case SampleKind::S32:
        return PickDest<SampleKind::S32>(dest, map);
    case SampleKind::F32:
        return PickDest<SampleKind::F32>(dest, map);
    case SampleKind::F64:
        return PickDest<SampleKind::F64>(dest, map);
    }
    return nullptr;
}

} // namespace tavrenly::codec
