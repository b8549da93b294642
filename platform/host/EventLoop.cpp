#include "platform/host/EventLoop.h"
