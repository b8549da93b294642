#include "tstream2/SimulatedStreamRecord.h"
