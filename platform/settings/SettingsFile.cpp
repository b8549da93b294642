#include "platform/settings/SettingsFile.h"
