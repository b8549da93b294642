#include "platform/host/ControlSite.h"
