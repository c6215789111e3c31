#include "xemergencyhandlerthreadscheduler.h"

#include <atomic>
#include <cstdint>
#include <memory>

#include "errorreporting/VQErrorReporting.h"
#include "xstatehandlerinstance.h"

namespace {

// The scheduler's reports carry the file name of the module's chief source.
constexpr const char* kSchedulerFile = ".\\xemergencyhandlerinstance";

std::atomic<XEmergencyHandlerThreadScheduler*> g_pScheduler{nullptr};

}  // namespace

XEmergencyHandlerThreadScheduler* XEmergencyHandlerThreadScheduler::Instance() {
    XEmergencyHandlerThreadScheduler* pScheduler = g_pScheduler.load(std::memory_order_acquire);
    while (pScheduler == nullptr) {
        auto pNew = std::make_unique<XEmergencyHandlerThreadScheduler>();
        XEmergencyHandlerThreadScheduler* pExpected = nullptr;
        if (g_pScheduler.compare_exchange_strong(pExpected, pNew.get(), std::memory_order_acq_rel)) {
            static_cast<void>(pNew.release());
        }
        pScheduler = g_pScheduler.load(std::memory_order_acquire);
    }
    return pScheduler;
}

void XEmergencyHandlerThreadScheduler::StartThread(XThreadTaskRoutine routine, void* param, int priority) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerThreadScheduler::StartThread");
    auto pTaskParam = std::make_unique<XThreadTaskParam>(XThreadTaskParam{routine, param});
    unsigned threadId = 0;
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, &XEmergencyHandlerThreadScheduler::RunThreadTask,
                                                 pTaskParam.get(), CREATE_SUSPENDED, &threadId);
    if (thread == 0) {
        ThrowExcepAtLastError(XVQEXCEP::TYPE_MODULE, XVQEXCEP::SEVERITY_SEVERE,
                              VQ_LOCATION(kSchedulerFile, 237), L"_beginthreadex failed", L"", 1);
    }
    // The suspended thread owns the record from here on.
    static_cast<void>(pTaskParam.release());
    const auto hThread = reinterpret_cast<HANDLE>(thread);

    if (priority >= 0 && !::SetThreadPriority(hThread, priority)) {
        const DWORD dwError = GetLastError();
        XVQError::WriteAPIErrorToLogBook(VQ_LOCATION(kSchedulerFile, 243), L"SetThreadPriority failed.",
                                         dwError);
    }
    if (::ResumeThread(hThread) > 1) {
        const DWORD dwError = GetLastError();
        XVQError::WriteAPIErrorToLogBook(VQ_LOCATION(kSchedulerFile, 249),
                                         L"after resuming the thread it still remains suspended.", dwError);
    }
    auto registry = XStateHandlerInstance::Instance()->GetProxy();
    registry->push_back(hThread);
}

unsigned WINAPI XEmergencyHandlerThreadScheduler::RunThreadTask(void* param) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerThreadScheduler::RunThreadTask");
    unsigned result = 0xFFFFFFFF;
    vqerr::ShortLoggingLadder(kSchedulerFile, 212, 216, s_szFunctionName, [param, &result] {
        if (param == nullptr) {
            const XVQComBSTR functionName(L"XEmergencyHandlerThreadScheduler::RunThreadTask");
            XVQError::WriteLineToErrorLogBook(
                VQErrorLocation(kSchedulerFile, 194, VQModuleName(), functionName),
                L"thread param == NULL - cannot run thread task routine", L"");
            return;
        }
        const std::unique_ptr<XThreadTaskParam> pTaskParam(static_cast<XThreadTaskParam*>(param));
        result = pTaskParam->routine(pTaskParam->param);
    });
    return result;
}
