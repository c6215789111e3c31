// A one-shot gate: threads wait at it until a test or another thread opens it. The bounded wait
// only keeps a broken test from hanging; outcomes never depend on it running out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vqtest {

class Gate {
  public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    // True once open; false only when it stayed shut for `timeout`.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [this] { return m_open; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

}  // namespace vqtest
