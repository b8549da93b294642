// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The wave format module, chief header: the WAVE file reader rules (WaveFile.h), the
// recording writer (WaveFileWriter.h), the cart record (CartChunk.h) and the codec stream
// wrapper (ConversionStream.h).

#include "common/CartChunk.h"
#include "common/ConversionStream.h"
#include "common/WaveFile.h"
#include "common/WaveFileWriter.h"
