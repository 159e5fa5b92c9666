#include "SerialLinkPort.h"
