#include "LinkBridge.h"
