#include "MessageBoxReporter.h"
