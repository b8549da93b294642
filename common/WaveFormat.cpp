#include "common/WaveFormat.h"
