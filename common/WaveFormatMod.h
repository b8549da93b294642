#pragma once

// The wave format module: the wave header reader, the playback format checks and the cart
// record (WaveFormat.h), and the codec stream wrapper (ConversionStream.h).

#include "common/ConversionStream.h"
#include "common/WaveFormat.h"
