#include "xemergencyhandlerthreadscheduler.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/handles.h"
#include "vqplatform/seh.h"
#include "xmodule.h"
#include "xstatehandlerinstance.h"

namespace {

// The scheduler's reports carry the file name of the module's chief source.

std::atomic<XEmergencyHandlerThreadScheduler*> g_pScheduler{nullptr};

// Whether the thread registry holds `hThread`; false when it cannot be read.
bool RegistryHolds(HANDLE hThread) noexcept {
    try {
        auto registry = XStateHandlerInstance::Instance()->GetProxy();
        return std::find(registry->begin(), registry->end(), hThread) != registry->end();
    } catch (...) {
        return false;
    }
}

}  // namespace

XEmergencyHandlerThreadScheduler* XEmergencyHandlerThreadScheduler::Instance() {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerThreadScheduler::Instance");
    XEmergencyHandlerThreadScheduler* const pScheduler = g_pScheduler.load(std::memory_order_acquire);
    return pScheduler != nullptr
               ? pScheduler
               : PublishSingleton(g_pScheduler, std::make_unique<XEmergencyHandlerThreadScheduler>());
}

void XEmergencyHandlerThreadScheduler::StartThread(XThreadTaskRoutine routine, void* param, int priority) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerThreadScheduler::StartThread");
    auto pTaskParam = std::make_unique<XThreadTaskParam>(XThreadTaskParam{routine, param});
    unsigned threadId = 0;
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, &XEmergencyHandlerThreadScheduler::RunThreadTask,
                                                 pTaskParam.get(), CREATE_SUSPENDED, &threadId);
    if (thread == 0) {
        ThrowExcepAtLastError(XVQEXCEP::VQ_TYPE_MODULE, XVQEXCEP::VQ_SEVERITY_SEVERE,
                              VQ_LOCATION(kSourceFile, 237), L"_beginthreadex failed", L"", 1);
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): _beginthreadex returns the thread's handle as a number
    vqplatform::unique_handle threadOwner(reinterpret_cast<HANDLE>(thread));
    const HANDLE hThread = threadOwner.get();
    try {
        auto registry = XStateHandlerInstance::Instance()->GetProxy();
        registry->push_back(hThread);
    } catch (...) {
        // Not recorded, or the registry's lock failed after the append: the thread has not begun,
        // so ending it here leaves nothing running behind the error. A recorded handle stays open
        // for the registry; any other closes as the error leaves.
        if (RegistryHolds(hThread)) {
            static_cast<void>(threadOwner.release());
        }
        ::TerminateThread(hThread, 0xFFFFFFFF);
        throw;
    }
    // From here on the registry keeps the handle and the thread owns its parameter.
    static_cast<void>(threadOwner.release());
    static_cast<void>(pTaskParam.release());

    if (priority >= 0 && !::SetThreadPriority(hThread, priority)) {
        const DWORD dwError = GetLastError();
        XVQError::WriteAPIErrorToLogBook(VQ_LOCATION(kSourceFile, 243), L"SetThreadPriority failed.",
                                         dwError);
    }
    if (::ResumeThread(hThread) > 1) {
        const DWORD dwError = GetLastError();
        XVQError::WriteAPIErrorToLogBook(VQ_LOCATION(kSourceFile, 249),
                                         L"after resuming the thread it still remains suspended.", dwError);
    }
}

unsigned WINAPI XEmergencyHandlerThreadScheduler::RunThreadTask(void* param) {
    // Everything the thread runs lies within the platform's translating frame, so that the
    // translator a task installs covers it (vqplatform/seh.h).
    return vqplatform::RunTranslated(
        [](void* pThreadParam) {
            VQ_FUNCTION_NAME(L"XEmergencyHandlerThreadScheduler::RunThreadTask");
            unsigned result = 0xFFFFFFFF;
            vqerr::ShortLoggingLadder(kSourceFile, 212, 216, s_szFunctionName, [pThreadParam, &result] {
                if (pThreadParam == nullptr) {
                    const XVQComBSTR functionName(L"XEmergencyHandlerThreadScheduler::RunThreadTask");
                    XVQError::WriteLineToErrorLogBook(
                        VQErrorLocation(kSourceFile, 194, VQModuleName(), functionName),
                        L"thread param == NULL - cannot run thread task routine", L"");
                    return;
                }
                const std::unique_ptr<XThreadTaskParam> pTaskParam(
                    static_cast<XThreadTaskParam*>(pThreadParam));
                result = pTaskParam->routine(pTaskParam->param);
            });
            return result;
        },
        param);
}
