#include "player/TavrenPlayer.h"
