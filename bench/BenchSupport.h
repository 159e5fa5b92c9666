// Plumbing of the end-to-end bench: CPU and memory readings, the panel it measures, and a
// module run inside the bench on a pty.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ControllerDlg.h"
#include "ModuleCore.h"
#include "PanelDriver.h"
#include "PortFolder.h"
#include "Pty.h"
#include "SerialLink.h"

namespace bench {

/// printf into a std::string of up to 255 characters.
template <typename... Args>
std::string Format(const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

/// CPU time of this process in seconds: user plus system time of all its threads, and the
/// scheduler's run time of its main (GUI) thread and of its other threads together.
struct CpuTime {
    double all = 0;
    double mainThread = 0;
    double otherThreads = 0;
};
CpuTime SelfCpu();
/// Resident set size of this process now, in KiB.
long SelfRssKb();

/// Median of `values` (which it sorts); 0 for none.
double Median(std::vector<double> values);
/// Largest of `values`; 0 for none.
double Worst(const std::vector<double>& values);

/// The panel window with its own state and link, as the program has them, and its driver.
struct BenchPanel {
    ControllerState state;
    CSerialLink link;
    CControllerDlg dialog{state, link};
    PanelDriver driver{dialog, state};
};

/// One frame the in-process module received, with the time its bytes were read.
struct ReceivedFrame {
    std::int64_t atNs;   ///< when the read that returned its first byte woke
    CommandFrame frame;  ///< the frame as received
};

/// The module's core run on a thread of the bench, on a pty published as COM `com`. Used
/// where a figure needs the module side's own clock: the moment a frame's first byte is
/// there to be read.
class InProcessModule {
public:
    InProcessModule(int com, const ModuleConfig& config);
    ~InProcessModule();
    InProcessModule(const InProcessModule&) = delete;
    InProcessModule& operator=(const InProcessModule&) = delete;

    /// Empty when it runs, else what failed.
    const std::string& Error() const { return m_pty.Error(); }
    /// Set and query frames received so far.
    std::vector<ReceivedFrame> Frames() const;

private:
    void Run();

    testkit::Pty m_pty;
    int m_stopFd = -1;
    ModuleCore m_core;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<ReceivedFrame> m_frames;
};

}  // namespace bench
