#include "support/RecordingHandler.h"

#include <stdexcept>

#include "vqplatform/kernel.h"

namespace vqtest {

void RecordingHandler::Handle(HandlerSlot slot, DWORD first, DWORD second) {
    m_journal.Append(HandlerEvent{this, slot, first, second, GetCurrentThreadId()});
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(m_hookMutex);
        hook = m_hook;
    }
    // Outside the lock: the hook may set another one.
    if (hook) {
        hook(slot);
    }
    switch (m_throws[static_cast<int>(slot)].load()) {
        case ThrowKind::None:
            return;
        case ThrowKind::StdException:
            throw std::runtime_error("thrown by a recording handler");
        case ThrowKind::Other:
            throw 42;
    }
}

}  // namespace vqtest
