// The Win32 link tests' main: GoogleTest, or with --exit-with-port-open a program that ends
// while its link is open and a received byte waits for an owner that never takes it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "CommandFrame.h"
#include "WineLinkSupport.h"

namespace {

// Outlives the link (constructed first, destroyed last), so a late call into it is seen.
class LateOwner : public ILinkOwner {
public:
    ~LateOwner() override {
        if (m_afterMain != 0) {
            std::fprintf(stderr, "the link called its owner %d times after main\n",
                         m_afterMain.load());
            std::_Exit(4);
        }
    }
    void OnLinkMessage(unsigned, std::uint32_t, std::int32_t) override { Note(); }
    void WakeOwner() override {
        Note();
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_wakes;
        m_cv.notify_all();
    }
    bool WaitForWake() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return m_wakes > 0; });
    }
    void MainEnded() { m_mainEnded = true; }

private:
    void Note() {
        if (m_mainEnded) {
            ++m_afterMain;
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_wakes = 0;
    std::atomic<bool> m_mainEnded{false};
    std::atomic<int> m_afterMain{0};
};

LateOwner g_owner;
CSerialLink g_link;

int ExitWithPortOpen() {
    if (g_link.Open(&g_owner, winetest::kModulePort, winetest::PanelSettings()) != 1 ||
        g_link.StartMonitor() != 1) {
        std::fprintf(stderr, "COM%d did not open\n", winetest::kModulePort);
        return 2;
    }
    const CommandFrame& query = *QueryFrame(CMD_CHANNEL);
    g_link.Send(query.data(), static_cast<int>(query.size()));
    if (!g_owner.WaitForWake()) {
        std::fprintf(stderr, "no reply came\n");
        return 3;
    }
    // Ends with the monitor blocked delivering the first byte and five more queued.
    g_owner.MainEnded();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--exit-with-port-open") == 0) {
        return ExitWithPortOpen();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
