#include "tstream2/SimulatedStreamPlay.h"
