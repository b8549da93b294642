#include "platform/host/PropertyBag.h"
