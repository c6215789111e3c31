// What the module's sources share: the source file their reports name, the lock order of the
// module's guarded data, and the publication of the lazily created singletons.
#pragma once

#include <atomic>
#include <memory>

#include "Rudada64/XBasicCritSection.h"
#include "Rudada64/XThreadedTask.h"

// Every report of the module names its chief source. This file name and the report line numbers
// written beside it are part of the log format: tools that read the log book key on them.
inline constexpr const char* kSourceFile = ".\\xemergencyhandlerinstance";

// The lock order of the module's guarded data (see XLockRank; lower ranks are locked first). The
// passes hold the registry while they read the table and the client identity and collect errors in
// the logger; a server deregistration holds it while it revokes from the table. The task's status is
// held while the scheduler records a new thread in the thread registry.
namespace vqlockrank {

inline constexpr XLockRank kRegistry{1};
inline constexpr XLockRank kInterfaceTable{2};
inline constexpr XLockRank kExceptionLogger{2};
inline constexpr XLockRank kClientIdentity{2};
inline constexpr XLockRank kThreadRegistry{XThreadedTaskLockRank::kProceedStatus.value + 1};

}  // namespace vqlockrank

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
