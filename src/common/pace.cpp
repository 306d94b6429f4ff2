#include "common/pace.hpp"

namespace pace {
namespace {
thread_local Watch *t_watch = nullptr;
}

Watch::Watch() : m_outer(t_watch), m_next(std::chrono::steady_clock::now() + kInterval) {
    t_watch = this;
}

Watch::~Watch() { t_watch = m_outer; }

void poll() {
    Watch *w = t_watch;
    if (!w) return;
    auto now = std::chrono::steady_clock::now();
    if (now < w->m_next) return;
    w->m_next = now + kInterval;
    if (w->stop()) throw Stopped{};
}

}  // namespace pace
