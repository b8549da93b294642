#include "engine/EngineFactory.h"
