// The bench's figures and the fault soak.
#pragma once

#include <filesystem>
#include <string>

namespace bench {

class PanelDriver;

/// What a run needs to know: the programs it starts, its folder, and how much to do.
struct BenchConfig {
    bool smoke = false;              ///< tiny counts: every figure, a few seconds in all
    std::string modulePath;          ///< varnel-module
    std::string startupPanelPath;    ///< the panel's start-up probe
    std::string startupMinimalPath;  ///< the minimal dialog's start-up probe
    std::filesystem::path folder;    ///< private port folder (also holds child logs)
};

/// Prints the header of the figure table.
void PrintFigureHeader();

/// Each runs one group of figures on `panel` and prints its lines; false when the bench
/// could not measure (a module that did not start, a panel that never synchronised).
bool RunSyncAndClose(const BenchConfig& config, PanelDriver& panel);
bool RunReceiveCapacity(const BenchConfig& config, PanelDriver& panel);
bool RunLineRateCost(const BenchConfig& config, PanelDriver& panel);
bool RunIdleCost(const BenchConfig& config, PanelDriver& panel);
bool RunSliderToWire(const BenchConfig& config, PanelDriver& panel);
bool RunStartup(const BenchConfig& config);

/// The fault soak for `seconds`; prints its findings and returns true when every check held.
bool RunSoak(const BenchConfig& config, PanelDriver& panel, int seconds);

}  // namespace bench
