// Fake window, timers, link and probe for driving PanelController on a virtual clock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "CommandFrame.h"
#include "PanelHost.h"

/// Records what the controller shows; sliders clamp like a trackbar.
struct FakeControls : IPanelControls {
    struct Slider {
        int minimum = 0, maximum = 100, position = 0;
        std::vector<int> ticks;
    };
    std::vector<std::string> items;
    int selection = -1;
    bool listEnabled = true;
    std::map<int, Slider> sliders;
    std::map<int, int> textOffsets;
    std::map<int, std::string> texts;

    void PortListReset() override { items.clear(), selection = -1; }
    void PortListInsert(int pos, const std::string& text) override {
        items.insert(items.begin() + pos, text);
    }
    void PortListSelect(int pos) override { selection = pos; }
    int PortListSelection() const override { return selection; }
    void PortListEnable(bool enable) override { listEnabled = enable; }
    void SliderSetRange(int id, int lo, int hi) override {
        Slider& s = sliders[id];
        s.minimum = lo, s.maximum = hi, s.position = std::clamp(s.position, lo, hi);
    }
    void SliderClearTicks(int id) override { sliders[id].ticks.clear(); }
    void SliderAddTick(int id, int pos) override { sliders[id].ticks.push_back(pos); }
    int SliderPosition(int id) const override { return sliders.at(id).position; }
    void SliderSetPosition(int id, int pos) override {
        Slider& s = sliders[id];
        s.position = std::clamp(pos, s.minimum, s.maximum);
    }
    void EditSetTextOffset(int id, int dy) override { textOffsets[id] = dy; }
    std::string GetItemText(int id) const override {
        auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    void SetItemText(int id, const std::string& text) override { texts[id] = text; }
    void SetCaption(int id, const std::string& text) override { texts[id] = text; }
};

/// Window timers on a virtual clock: restart semantics, due timers collected and then fired
/// in deadline order, Sleep only moves the clock.
struct FakeTimers : ITimerHost {
    struct Timer {
        unsigned period;
        std::uint64_t due;
    };
    std::uint64_t now = 0;
    std::map<unsigned, Timer> running;
    std::function<void(unsigned)> fire;

    void SetTimer(unsigned id, unsigned ms) override { running[id] = {ms, now + ms}; }
    void KillTimer(unsigned id) override { running.erase(id); }
    void Sleep(unsigned ms) override { now += ms; }
    bool Running(unsigned id) const { return running.count(id) != 0; }

    /// Lets `ms` of virtual time pass, ticking every timer that falls due.
    void Run(std::uint64_t ms) {
        const std::uint64_t end = now + ms;
        for (;;) {
            std::vector<std::pair<std::uint64_t, unsigned>> due;
            for (const auto& [id, t] : running) {
                if (t.due <= end) {
                    due.emplace_back(t.due, id);
                }
            }
            if (due.empty()) {
                break;
            }
            std::sort(due.begin(), due.end());
            for (const auto& [at, id] : due) {
                auto it = running.find(id);
                if (it == running.end() || it->second.due != at) {
                    continue;  // killed or restarted by an earlier tick
                }
                now = std::max(now, at);
                it->second.due = now + it->second.period;
                fire(id);
            }
        }
        now = std::max(now, end);
    }
};

/// One frame on the wire: kind ('S' set, 'Q' query), command, value, virtual send time.
using Sent = std::tuple<char, int, int, std::uint64_t>;

/// Records link calls and frames; `duringClose` runs inside Close, as the real link's
/// servicing of deliveries and ticks does.
struct FakeLink : ILinkPort {
    explicit FakeLink(const FakeTimers& clock) : m_clock(clock) {}
    int openResult = 1;
    std::vector<std::string> calls;
    std::vector<Sent> sent;
    std::vector<std::uint32_t> openArgs;
    std::function<void()> duringClose;

    int Open(ILinkOwner*, int port, std::uint32_t baud, char parity, std::uint32_t bits,
             std::uint32_t stop, std::uint32_t mask, std::uint32_t buffer, std::uint32_t t1,
             std::uint32_t t2, std::uint32_t t3, std::uint32_t t4, std::uint32_t t5) override {
        calls.push_back("Open" + std::to_string(port));
        openArgs = {
            baud, static_cast<std::uint32_t>(parity), bits, stop, mask, buffer, t1, t2, t3, t4, t5};
        return openResult;
    }
    int StartMonitor() override { return calls.push_back("Start"), 1; }
    int Send(const std::uint8_t* b, int length) override {
        const char kind =
            KindOf({b[0], b[1], b[2], b[3], b[4], b[5]}) == FrameKind::Set ? 'S' : 'Q';
        sent.emplace_back(kind, b[2], b[3] * 256 + b[4], m_clock.now);
        return length;
    }
    void Close() override {
        calls.push_back("Close{");
        if (auto hook = std::exchange(duringClose, nullptr)) {
            hook();
        }
        calls.push_back("}");
    }

private:
    const FakeTimers& m_clock;
};

/// The ports that exist.
struct FakeProbe : IPortProbe {
    std::set<int> ports;
    bool PortExists(int com) override { return ports.count(com) != 0; }
};
