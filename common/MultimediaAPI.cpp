#include "common/MultimediaAPI.h"
