#include "xstatehandlerinstance.h"

#include <atomic>
#include <memory>
#include <utility>

#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/handles.h"
#include "vqplatform/platform.h"
#include "xmodule.h"

namespace {

std::atomic<XStateHandlerInstance::ThreadRegistry*> g_pThreadRegistry{nullptr};

}  // namespace

XStateHandlerInstance::ThreadRegistry* XStateHandlerInstance::Instance() {
    VQ_FUNCTION_NAME(L"XStateHandlerInstance::Instance");
    ThreadRegistry* const pRegistry = g_pThreadRegistry.load(std::memory_order_acquire);
    return pRegistry != nullptr
               ? pRegistry
               : PublishSingleton(g_pThreadRegistry,
                                  std::make_unique<ThreadRegistry>(vqlockrank::kThreadRegistry));
}

void XStateHandlerInstance::TerminateRegisteredThreads() {
    try {
        auto registry = Instance()->GetProxy();
        for (void*& hThread : *registry) {
            if (hThread != nullptr) {
                // Taken out of the registry: closed once it is terminated.
                const vqplatform::unique_handle thread(std::exchange(hThread, nullptr));
                ::TerminateThread(thread.get(), 0);
            }
        }
        registry->clear();
    } catch (...) {
        // Shutdown goes on whatever fails here.
    }
}
