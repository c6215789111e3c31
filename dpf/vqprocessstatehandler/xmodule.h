// What the module's sources share: the source file their reports name, and the publication of the
// lazily created singletons.
#pragma once

#include <atomic>
#include <memory>

// Every report of the module names its chief source. This file name and the report line numbers
// written beside it are part of the log format: tools that read the log book key on them.
inline constexpr const char* kSourceFile = ".\\xemergencyhandlerinstance";

// Installs `created` in `slot` with a compare-and-exchange against empty and returns what the slot
// then holds: `created`, or the object of a thread that won the race (the loser's own is destroyed
// and whatever its destruction throws is swallowed). Null when a teardown emptied the slot in
// between. The acquire loads pair with the installing exchange's release: a thread that finds the
// pointer set also sees the object behind it.
template <class T>
T* PublishSingleton(std::atomic<T*>& slot, std::unique_ptr<T> created) {
    T* expected = nullptr;
    if (slot.compare_exchange_strong(expected, created.get(), std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
        static_cast<void>(created.release());
    } else {
        try {
            created.reset();
        } catch (...) {
            // The loser's object was never used; what its destruction reports changes nothing.
        }
    }
    return slot.load(std::memory_order_acquire);
}
