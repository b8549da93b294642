#include "platform/codec/Codec.h"
