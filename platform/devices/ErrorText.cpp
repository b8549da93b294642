#include "platform/devices/Devices.h"
