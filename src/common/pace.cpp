#include "common/pace.hpp"

namespace pace {
namespace {
thread_local Watch *t_watch = nullptr;
}

Watch::Watch()
    : m_outer(t_watch), m_next(std::chrono::steady_clock::now() + kInterval),
      m_interval(kInterval) {
    t_watch = this;
}

Watch::~Watch() { t_watch = m_outer; }

void poll() {
    Watch *w = t_watch;
    if (!w) return;
    auto now = std::chrono::steady_clock::now();
    if (now < w->m_next) return;
    bool stop = w->stop();
    w->m_next = std::chrono::steady_clock::now() + w->m_interval;
    if (stop) throw Stopped{};
}

}  // namespace pace
