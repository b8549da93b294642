#include "common/DiagnosticLog.h"
