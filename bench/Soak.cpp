#include "Figures.h"

namespace bench {

bool RunSoak(const BenchConfig&, PanelDriver&, int) { return false; }

}  // namespace bench
