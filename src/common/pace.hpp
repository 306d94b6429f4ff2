// Long native work that stays answerable: a phase run without the GIL calls
// pace::poll() at each chunk of its work, and every few milliseconds the
// watcher installed on its thread is asked whether the phase is to stop (a
// signal's handler raised, the caller's answer is already known).  Plain C++:
// the native layers call it without knowing of Python.
#pragma once

#include <chrono>

namespace pace {

// Thrown by poll() when the watcher says stop.  No std::exception, so that no
// handler taking damaged input for a fallback catches it on the way out.
struct Stopped {};

// The thread's watcher while it lives (they nest: the inner one rules).
class Watch {
public:
    Watch();
    virtual ~Watch();
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;
    // True: the phase ends with Stopped.
    virtual bool stop() = 0;

protected:
    // How long until the next ask (from the end of this one).
    void ask_every(std::chrono::milliseconds interval) { m_interval = interval; }

private:
    friend void poll();
    Watch *m_outer;
    std::chrono::steady_clock::time_point m_next;
    std::chrono::milliseconds m_interval;
};

// How often the watcher is asked, unless it says otherwise.
constexpr std::chrono::milliseconds kInterval{4};

// Cheap between two asks (a clock read); a thread without a watcher (the
// inflating thread) is never stopped here.
void poll();

}  // namespace pace
