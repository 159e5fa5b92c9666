#include "WakeEvent.h"

#include <windows.h>

#include "StopSignal.h"

namespace {

HANDLE Handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

WakeEvent::WakeEvent()
    : m_handle(reinterpret_cast<std::intptr_t>(::CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}

WakeEvent::~WakeEvent() {
    if (Valid()) {
        ::CloseHandle(Handle(m_handle));
    }
}

bool WakeEvent::Valid() const {
    return m_handle != 0;
}

void WakeEvent::Set() {
    ::SetEvent(Handle(m_handle));
}

void WakeEvent::Reset() {
    ::ResetEvent(Handle(m_handle));
}

void WakeEvent::Wait(const StopSignal* stop, int ms) {
    const HANDLE waits[2] = {Handle(m_handle), stop != nullptr ? stop->Event() : nullptr};
    ::WaitForMultipleObjects(waits[1] != nullptr ? 2 : 1, waits, FALSE,
                             static_cast<DWORD>(ms < 0 ? 0 : ms));
}
