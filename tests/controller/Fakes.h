// Fake window, timers, link and probe for driving PanelController on a virtual clock.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "CommandFrame.h"
#include "PanelHost.h"

/// Records texts, captions and the port list; sliders clamp like a trackbar.
struct FakeControls : IPanelControls {
    struct Slider {
        int minimum = 0, maximum = 100, position = 0;
    };
    std::vector<std::string> items;
    int selection = -1;
    bool listEnabled = true;
    std::map<int, Slider> sliders;
    std::map<int, std::string> texts;  // captions too

    void PortListReset() override { items.clear(), selection = -1; }
    void PortListInsert(int at, const std::string& s) override {
        items.insert(items.begin() + at, s);
    }
    void PortListSelect(int at) override { selection = at; }
    int PortListSelection() const override { return selection; }
    void PortListEnable(bool enable) override { listEnabled = enable; }
    void SliderSetRange(int id, int lo, int hi) override {
        sliders[id].minimum = lo, sliders[id].maximum = hi,
        SliderSetPosition(id, SliderPosition(id));
    }
    void SliderClearTicks(int) override {}
    void SliderAddTick(int, int) override {}
    int SliderPosition(int id) const override {
        return sliders.count(id) ? sliders.at(id).position : 0;
    }
    void SliderSetPosition(int id, int at) override {
        sliders[id].position = std::clamp(at, sliders[id].minimum, sliders[id].maximum);
    }
    void EditSetTextOffset(int, int) override {}
    std::string GetItemText(int id) const override { return texts.count(id) ? texts.at(id) : ""; }
    void SetItemText(int id, const std::string& text) override { texts[id] = text; }
    void SetCaption(int id, const std::string& text) override { texts[id] = text; }
    void ShowNotice(const std::string& caption, const std::string& text) override {
        notices.push_back(caption + "|" + text);
    }
    std::vector<std::string> notices;  // caption|text of each notice shown
};

/// Timers by id on a virtual clock with restart semantics; Run collects the due timers, then
/// fires them in deadline order. Sleep only moves the clock, as a blocked thread handles nothing.
struct FakeTimers : ITimerHost {
    std::uint64_t now = 0;
    std::map<unsigned, std::pair<unsigned, std::uint64_t>> running;  // id -> period, due
    std::function<void(unsigned)> fire;

    void SetTimer(unsigned id, unsigned ms) override { running[id] = {ms, now + ms}; }
    void KillTimer(unsigned id) override { running.erase(id); }
    void Sleep(unsigned ms) override { now += ms; }
    bool Running(unsigned id) const { return running.count(id) != 0; }
    std::uint64_t Due(unsigned id) const { return running.at(id).second; }
    void Run(std::uint64_t ms) {
        const std::uint64_t end = now + ms;
        for (bool fired = true; fired;) {
            std::vector<std::pair<std::uint64_t, unsigned>> due;
            for (const auto& [id, timer] : running) {
                if (timer.second <= end) {
                    due.emplace_back(timer.second, id);
                }
            }
            std::sort(due.begin(), due.end());
            fired = !due.empty();
            for (const auto& [at, id] : due) {
                auto it = running.find(id);
                if (it != running.end() && it->second.second == at) {  // not killed or restarted
                    now = std::max(now, at);
                    it->second.second = now + it->second.first;
                    fire(id);
                }
            }
        }
        now = std::max(now, end);
    }
};

/// One frame on the wire: kind ('S' set, 'Q' query), command, value, virtual send time.
using Sent = std::tuple<char, int, int, std::uint64_t>;

/// Records link calls and frames; `duringClose` runs once inside Close, standing in for the
/// deliveries, ticks and device changes the real link services while it waits.
struct FakeLink : ILinkPort {
    explicit FakeLink(const FakeTimers& clock) : m_clock(clock) {}
    int openResult = 1;
    std::vector<std::string> calls;
    std::vector<Sent> sent;
    LinkSettings openSettings;
    std::function<void()> duringClose;

    int Open(ILinkOwner*, int port, const LinkSettings& settings) override {
        calls.push_back("Open" + std::to_string(port));
        openSettings = settings;
        return openResult;
    }
    std::string failureText = "COM9 (/dev/ttyUSB0) cannot be opened: permission denied.";
    std::string OpenFailureText(int) const override { return openResult ? "" : failureText; }
    int StartMonitor() override { return calls.push_back("Start"), 1; }
    int Send(const std::uint8_t* b, int n) override {
        sent.emplace_back(b[0] == 0 ? 'S' : 'Q', b[2], b[3] * 256 + b[4], m_clock.now);
        return n;
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
    std::vector<int> ListPorts() override { return {ports.begin(), ports.end()}; }
};
