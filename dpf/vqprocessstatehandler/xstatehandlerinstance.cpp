#include "xstatehandlerinstance.h"

#include <atomic>
#include <memory>

#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/platform.h"
#include "xmodule.h"

namespace {

std::atomic<XStateHandlerInstance::ThreadRegistry*> g_pThreadRegistry{nullptr};

}  // namespace

XStateHandlerInstance::ThreadRegistry* XStateHandlerInstance::Instance() {
    VQ_FUNCTION_NAME(L"XStateHandlerInstance::Instance");
    ThreadRegistry* const pRegistry = g_pThreadRegistry.load(std::memory_order_acquire);
    return pRegistry != nullptr ? pRegistry
                                : PublishSingleton(g_pThreadRegistry, std::make_unique<ThreadRegistry>());
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
