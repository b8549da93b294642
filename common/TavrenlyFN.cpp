#include "common/TavrenlyFN.h"
