// The bench's figures: each group measures the panel and prints its rows of the table.
#pragma once

#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Voice.h"

namespace bench {

/// What a run needs to know: the programs it starts and how much to do.
struct BenchConfig {
    bool smoke = false;              ///< tiny counts: every figure, a few seconds in all
    std::string modulePath;          ///< varnel-module
    std::string startupPanelPath;    ///< the panel's start-up probe
    std::string startupMinimalPath;  ///< the minimal dialog's start-up probe
};

/// The bench's own remarks between the figure lines.
inline const Voice Say{"# "};

/// What a figure's ratio (value / limit) must be to meet its target.
enum class Goal { AtMost, AtLeast, None };

/// One row of the figure table.
struct Figure {
    const char* name;
    double value;
    const char* unit;  ///< of the value and the limit
    double limit;      ///< what the value is compared with
    Goal goal;
    double target;     ///< the ratio the goal allows
    std::string note;  ///< counts and context, after a '#'
};

/// Prints the header of the figure table.
void PrintFigureHeader();
/// Prints `rows`, one line each: name, value and unit, limit, ratio, target and verdict.
void PrintFigures(const std::vector<Figure>& rows);

/// Each runs one group of figures on `panel` and prints its rows; false when the bench could
/// not measure (a module that did not start, a panel that never synchronised).
bool RunSyncAndClose(const BenchConfig& config, BenchPanel& panel);
bool RunReceiveCapacity(const BenchConfig& config, BenchPanel& panel);
bool RunLineRateCost(const BenchConfig& config, BenchPanel& panel);
bool RunIdleCost(const BenchConfig& config, BenchPanel& panel);
bool RunSliderToWire(const BenchConfig& config, BenchPanel& panel);
bool RunStartup(const BenchConfig& config, BenchPanel& panel);
/// A set through the panel's control socket against a direct set, medians of one run.
bool RunControlSocket(const BenchConfig& config, BenchPanel& panel);

/// The fault soak for `seconds`; prints its findings and returns true when every check held.
bool RunSoak(const BenchConfig& config, BenchPanel& panel, int seconds);

}  // namespace bench
