#include "common/Registry.h"
