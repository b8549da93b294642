#include "common/ConversionStream.h"
