#include "recorder/TavrenRecorder.h"
