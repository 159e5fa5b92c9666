#include "DeviceWatcher.h"
