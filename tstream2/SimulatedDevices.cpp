#include "tstream2/SimulatedDevices.h"
