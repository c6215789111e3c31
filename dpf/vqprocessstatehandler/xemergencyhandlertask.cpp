#include "xemergencyhandlertask.h"

#include <exception>

#include "Rudada64/XThreadSync.h"
#include "stdafx.h"
#include "xemergencyhandlerinstance.h"
#include "xmodule.h"

XEmergencyHandlerTask::XEmergencyHandlerTask(DWORD dwCycleInterval, DWORD dwUnitMilliseconds)
    : XThreadedTask(-1), m_dwCycleInterval(dwCycleInterval), m_dwUnitMilliseconds(dwUnitMilliseconds) {
    XThreadSync::CreateEvent(m_hTerminationEvent, FALSE);
}

XEmergencyHandlerTask::~XEmergencyHandlerTask() {
    // The body runs this object's Execute and waits on its event: its thread must end before either
    // goes, which the base destructor's own Stop would be too late for.
    try {
        if (m_hTerminationEvent) {
            SetTerminationEvent();
        }
        Stop();
    } catch (...) {
        // The base destructor stops again and reports what fails.
    }
}

void XEmergencyHandlerTask::SetTerminationEvent() {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerTask::SetTerminationEvent()");
    XThreadSync::SetEvent(m_hTerminationEvent.get());
}

DWORD XEmergencyHandlerTask::Execute(XEmergencyHandlerInstance* pInstance) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerTask::Execute(XEmergencyHandlerInstance* pInstance)");
    vqplatform::SetThreadTranslator(CServiceModule::TranslateCException);
    XVQError::CheckPtr_ThrowExcep(VQ_LOCATION(kSourceFile, 877), pInstance, L"");
    // Kept for the life of the body as the error component expects; the cycles report into the
    // instance's own logger.
    XVQExcepRefLogger localLogger(100);
    // Left as the body returns, before the logger goes; outside the ladder, so that a failed worker
    // leaves it only after its end has been dispatched.
    vqplatform::unique_couninitialize comApartment;
    try {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        comApartment = vqplatform::unique_couninitialize(hr);
        ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, hr, XVQEXCEP::VQ_SEVERITY_WARNING,
                           VQ_LOCATION(kSourceFile, 886),
                           L"CoInitializeEx for emergency agent service thread failed", L"", 1);
        const DWORD dwWait = m_dwCycleInterval == 0 ? INFINITE : m_dwCycleInterval * m_dwUnitMilliseconds;
        while (!IsStopRequested()) {
            if (XThreadSync::WaitForEvent(m_hTerminationEvent.get(), dwWait)) {
                break;
            }
            pInstance->HandleServerEmergencyState();
            pInstance->HandleClientEmergencyFailoverState();
        }
        return 0;
    } catch (XWrappedVQException& e) {
        SetTaskException(e);
    } catch (std::exception& e) {
        SetTaskException(
            XVQError::CreateExcep(e, VQ_LOCATION(kSourceFile, 917), XVQEXCEP::VQ_SEVERITY_SEVERE, L""));
    } catch (...) {
        SetTaskException(XVQError::CreateUnknownExcep(VQ_LOCATION(kSourceFile, 921), L""));
    }
    XVQError::WriteErrorToLogBook(GetTaskException(), false, 0);
    pInstance->DispatchAgentError(3);
    return 0;
}
