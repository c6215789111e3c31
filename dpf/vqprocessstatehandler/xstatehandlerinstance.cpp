#include "xstatehandlerinstance.h"

#include <atomic>
#include <memory>

#include "vqplatform/platform.h"

namespace {

std::atomic<XStateHandlerInstance::ThreadRegistry*> g_pThreadRegistry{nullptr};

}  // namespace

XStateHandlerInstance::ThreadRegistry* XStateHandlerInstance::Instance() {
    ThreadRegistry* pRegistry = g_pThreadRegistry.load(std::memory_order_acquire);
    if (pRegistry != nullptr) {
        return pRegistry;
    }
    auto pNew = std::make_unique<ThreadRegistry>();
    ThreadRegistry* pExpected = nullptr;
    if (g_pThreadRegistry.compare_exchange_strong(pExpected, pNew.get(), std::memory_order_acq_rel)) {
        static_cast<void>(pNew.release());
        return g_pThreadRegistry.load(std::memory_order_acquire);
    }
    try {
        pNew.reset();
    } catch (...) {
        // The loser's object was never used; whatever its destruction reports changes nothing.
    }
    return g_pThreadRegistry.load(std::memory_order_acquire);
}

void XStateHandlerInstance::TerminateRegisteredThreads() {
    try {
        auto registry = Instance()->GetProxy();
        for (void*& hThread : *registry) {
            if (hThread != nullptr) {
                ::TerminateThread(hThread, 0);
                ::CloseHandle(hThread);
                hThread = nullptr;
            }
        }
        registry->clear();
    } catch (...) {
        // Shutdown goes on whatever fails here.
    }
}
