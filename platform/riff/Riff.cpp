#include "platform/riff/Riff.h"
