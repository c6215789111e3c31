#include "xemergencyhandlerinstance.h"

#include <memory>
#include <typeinfo>
#include <utility>

#include "VQComUtilities/XCriticalSectionEx.h"
#include "VQConvert/XVQComBSTR.h"
#include "errorreporting/VQErrorReporting.h"
#include "vqplatform/modules.h"
#include "xemergencyhandlertask.h"
#include "xmodule.h"
#include "xstatehandlerinstance.h"

namespace {

// The process-wide instance; empty until the first call of an exported function.
std::atomic<XEmergencyHandlerInstance*> s_pInstance{nullptr};

// The failover registry of the error-reporting component, or null while its error state is absent.
XVQErrorStateHandler::XClientEmergencyFailoverHandler* FailoverRegistry() {
    XVQErrorStateHandler* const pErrorState = XVQErrorStateHandler::GetInstance();
    return pErrorState == nullptr ? nullptr : &pErrorState->GetClientEmergencyFailoverHandler();
}

// An address inside VQComUtilities64, which exports its lock class only: the type information that
// a lock's virtual table points at, read through a reference. A typeid of the class name may give a
// copy of it in this module instead (MinGW makes one).
const void* AddressInLockLibrary(const XCriticalSectionEx& lock) {
    return &typeid(lock);
}

// Keeps the module and the libraries its worker runs in loaded until the process ends, as the worker
// lives that long: a client that unloads the library after use would otherwise unmap the code under
// it. A module cannot fail to be pinned while it is loaded, so the results are not looked at.
bool PinWorkerModules() {
    const auto pLock = std::make_unique<XCriticalSectionEx>();
    const void* const addresses[] = {
        reinterpret_cast<const void*>(&XEmergencyHandlerInstance::Instance),   // the module
        reinterpret_cast<const void*>(&XVQError::WriteUnknownErrorToLogBook),  // VQError64
        reinterpret_cast<const void*>(&VQWideToUtf8),                          // VQConvert64
        AddressInLockLibrary(*pLock),                                          // VQComUtilities64
        reinterpret_cast<const void*>(&vqplatform::PinModuleOf),               // vqplatform
    };
    for (const void* const address : addresses) {
        static_cast<void>(vqplatform::PinModuleOf(address));
    }
    return true;
}

// Calls visit(cookie, registration, the handler's ids) for each registration holding `pHandler`,
// in ascending cookie order as a walk of the registry meets them, found through the index of
// (handler, cookie) pairs; a pair whose registration or handler entry is gone is skipped. Stops when
// visit returns false. True when any registration was visited.
template <class Visit>
bool VisitRegistrationsOf(XEmergencyHandlerInstance::XRegistry& registry, XClientEmergencyHandler* pHandler,
                          Visit&& visit) {
    auto& registrations = registry.registrations;
    const auto& handlerCookies = registry.handlerCookies;
    bool visited = false;
    for (auto pair = handlerCookies.lower_bound({pHandler, 0});
         pair != handlerCookies.end() && pair->first == pHandler; ++pair) {
        auto it = registrations.find(pair->second);
        if (it == registrations.end()) {
            continue;
        }
        auto entry = it->second.m_handlers.find(pHandler);
        if (entry == it->second.m_handlers.end()) {
            continue;
        }
        visited = true;
        if (!visit(pair->second, it->second, entry->second)) {
            break;
        }
    }
    return visited;
}

}  // namespace

XEmergencyHandlerInstance::XEmergencyHandlerInstance() : XEmergencyHandlerInstance(WorkerStarter()) {}

XEmergencyHandlerInstance::XEmergencyHandlerInstance(WorkerStarter startWorker)
    : m_registry(vqlockrank::kRegistry),
      m_excepLogger(vqlockrank::kExceptionLogger, 100),
      m_pGIT(vqlockrank::kInterfaceTable),
      m_clientIdentity(vqlockrank::kClientIdentity),
      m_startWorker(std::move(startWorker)) {}

XEmergencyHandlerInstance::~XEmergencyHandlerInstance() {
    // Before the fields that its worker uses.
    m_pTask.reset();
}

XEmergencyHandlerInstance* XEmergencyHandlerInstance::Instance() {
    // Once per process, from its first exported call on.
    static const bool s_bModulesPinned = PinWorkerModules();
    static_cast<void>(s_bModulesPinned);
    return InstanceIn(s_pInstance, [] { return new XEmergencyHandlerInstance(); });
}

XEmergencyHandlerInstance* XEmergencyHandlerInstance::InstanceIn(
    std::atomic<XEmergencyHandlerInstance*>& slot, const Factory& create) {
    // Named like every function of the module, though nothing here reports.
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::Instance");
    for (;;) {
        XEmergencyHandlerInstance* pInstance = slot.load(std::memory_order_acquire);
        if (pInstance != nullptr) {
            return pInstance;
        }
        pInstance = PublishSingleton(slot, std::unique_ptr<XEmergencyHandlerInstance>(create()));
        if (pInstance == nullptr) {
            // A teardown emptied the slot in between: start over.
            continue;
        }
        pInstance->Init();
        return pInstance;
    }
}

void XEmergencyHandlerInstance::Init() {
    VQ_FUNCTION_NAME("XEmergencyHandlerInstance::Init");
    std::lock_guard<std::mutex> initLock(m_initLock);
    vqerr::FullLoggingLadder(kSourceFile, 283, s_szFunctionName, [&] {
        const DWORD dwProcessId = GetCurrentProcessId();
        WCHAR szComputerName[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD dwSize = MAX_COMPUTERNAME_LENGTH + 1;
        if (!GetComputerNameW(szComputerName, &dwSize)) {
            ThrowExcepAtLastError(XVQEXCEP::VQ_TYPE_MODULE, XVQEXCEP::VQ_SEVERITY_ERROR,
                                  VQ_LOCATION(kSourceFile, 277), L"GetComputerName failed", L"", 1);
        }
        auto identity = m_clientIdentity.GetProxy();
        identity->m_dwProcessId = dwProcessId;
        identity->m_bstrComputerName = szComputerName;
    });
    StartWorkerTask();
}

void XEmergencyHandlerInstance::StartWorkerTask() {
    VQ_FUNCTION_NAME("XEmergencyHandlerInstance::Init");
    if (m_startWorker) {
        // Marked only once the starter returns: a racing first call retries a start that threw.
        if (!m_bWorkerStarted) {
            m_startWorker(*this);
            m_bWorkerStarted = true;
        }
        return;
    }
    // Stored only once it exists: a racing first call creates the task when the creation here
    // failed. A task whose Start failed stays, unstarted, and is not started again.
    if (m_pTask == nullptr) {
        auto pTask = std::make_unique<XEmergencyHandlerTask>(10);
        XVQError::CheckPtr_ThrowExcep(VQ_LOCATION(kSourceFile, 289), pTask.get(), L"");
        m_pTask = std::move(pTask);
        m_pTask->Start(this);
    }
}

void XEmergencyHandlerInstance::StopTask() {
    if (m_pTask == nullptr) {
        return;
    }
    m_pTask->SetTerminationEvent();
    m_pTask->Stop();
    m_pTask.reset();
}

void XEmergencyHandlerInstance::DestroyInstance() {
    DestroyInstanceIn(s_pInstance);
}

void XEmergencyHandlerInstance::DestroyInstanceIn(std::atomic<XEmergencyHandlerInstance*>& slot) noexcept {
    XEmergencyHandlerInstance* const pInstance = slot.exchange(nullptr);
    if (pInstance == nullptr) {
        return;
    }
    try {
        pInstance->StopTask();
        {
            auto proxy = pInstance->m_registry.GetProxy();
            *proxy = XRegistry();
        }
        pInstance->ReleaseGIT();
    } catch (...) {
        // The teardown goes on to the deletion whatever failed before it.
    }
    delete pInstance;
}

void XEmergencyHandlerInstance::ShutdownStateHandler() {
    DestroyInstance();
    XStateHandlerInstance::TerminateRegisteredThreads();
}

DWORD XEmergencyHandlerInstance::GetClientProcessId() const {
    return m_clientIdentity.GetReadProxy()->m_dwProcessId;
}

XVQComBSTR XEmergencyHandlerInstance::GetClientComputerName() const {
    return m_clientIdentity.GetReadProxy()->m_bstrComputerName;
}

DWORD XEmergencyHandlerInstance::RegisterInGIT(const ATL::CComPtr<IVQServerEmergencyAgent>& ptrAgent) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::RegisterInGIT");
    IGlobalInterfaceTable* pGIT = m_pGIT.GetReadProxy()->ptr;
    if (pGIT == nullptr) {
        auto proxy = m_pGIT.GetProxy();
        if (proxy->ptr == nullptr) {
            const HRESULT hr =
                CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&proxy->ptr));
            ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, hr, XVQEXCEP::VQ_SEVERITY_SEVERE,
                               VQ_LOCATION(kSourceFile, 367),
                               L"CoCreateInstance IID_IGlobalInterfaceTable failed", L"", 1);
        }
        pGIT = proxy->ptr;
    }
    if (pGIT == nullptr) {
        XVQError::CheckPtr_ThrowExcep(VQ_LOCATION(kSourceFile, 373), pGIT, L"");
    }
    // Outside every proxy: the table calls back into the agent, and the agent may be slow.
    DWORD dwCookie = 0;
    const HRESULT hr = pGIT->RegisterInterfaceInGlobal(ptrAgent.p, IID_IVQServerEmergencyAgent, &dwCookie);
    ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, hr, XVQEXCEP::VQ_SEVERITY_WARNING,
                       VQ_LOCATION(kSourceFile, 380),
                       L"RegisterInterfaceInGlobal IVQServerEmergencyAgent failed", L"", 1);
    return dwCookie;
}

void XEmergencyHandlerInstance::AddHandler(XClientEmergencyHandler* const pHandler,
                                           const ATL::CComPtr<IVQServerEmergencyAgent>& ptrAgent) {
    VQ_FUNCTION_NAME("XEmergencyHandlerInstance::AddHandler");
    const DWORD dwCookie = RegisterInGIT(ptrAgent);

    XServerIdentity identity;
    vqerr::FullLoggingLadder(kSourceFile, 414, s_szFunctionName, [&] {
        ATL::CComPtr<IVQServerIdentity> ptrIdentity;
        if (FAILED(ptrAgent->QueryInterface(IID_IVQServerIdentity, reinterpret_cast<void**>(&ptrIdentity))) ||
            ptrIdentity == nullptr) {
            return;
        }
        ServerIdentity record = {};
        ptrIdentity->GetServerIdentity(&record);
        if (record.serverName != nullptr) {
            identity.m_dwServerId = record.serverId;
            identity.m_bstrServerName.Attach(record.serverName);
        }
    });

    m_registry.GetProxy()->Add(dwCookie, pHandler, identity);
}

void XEmergencyHandlerInstance::XRegistry::Add(DWORD dwCookie, XClientEmergencyHandler* pHandler,
                                               const XServerIdentity& identity) {
    XClientHandler registration;
    registration.m_handlers.try_emplace(pHandler);
    registration.m_serverIdentity = identity;
    const auto pair = handlerCookies.emplace(pHandler, dwCookie).first;
    try {
        registrations.insert_or_assign(dwCookie, std::move(registration));
    } catch (...) {
        handlerCookies.erase(pair);
        throw;
    }
}

XEmergencyHandlerInstance::ClientHandlerMap::iterator XEmergencyHandlerInstance::XRegistry::Erase(
    ClientHandlerMap::iterator it) noexcept {
    for (const auto& entry : it->second.m_handlers) {
        handlerCookies.erase({entry.first, it->first});
    }
    emptyCookies.erase(it->first);
    return registrations.erase(it);
}

void XEmergencyHandlerInstance::RemoveHandler(XClientEmergencyHandler* const pHandler) {
    auto proxy = m_registry.GetProxy();
    XRegistry& registry = *proxy;
    // The handler's registrations and those an earlier removal left without handlers, in ascending
    // cookie order, as a walk of the registry meets them.
    std::set<DWORD> cookies = registry.emptyCookies;
    for (auto pair = registry.handlerCookies.lower_bound({pHandler, 0});
         pair != registry.handlerCookies.end() && pair->first == pHandler; ++pair) {
        cookies.insert(pair->second);
    }
    for (const DWORD dwCookie : cookies) {
        auto it = registry.registrations.find(dwCookie);
        if (it == registry.registrations.end()) {
            continue;
        }
        XClientHandler& registration = it->second;
        if (registration.m_handlers.erase(pHandler) != 0) {
            registry.handlerCookies.erase({pHandler, dwCookie});
        }
        if (!registration.m_handlers.empty()) {
            continue;
        }
        // Remembered until it is gone: should the failover registry throw, a later removal ends it.
        registry.emptyCookies.insert(dwCookie);
        if (auto* pFailover = FailoverRegistry()) {
            pFailover->RemoveServerEmergencyHandler(dwCookie);
        }
        RevokeFromGIT(dwCookie);
        registry.Erase(it);
    }
}

ATL::CComPtr<IVQServerEmergencyAgent> XEmergencyHandlerInstance::GetServerEmergencyAgentFromGIT(
    DWORD dwCookie) {
    ATL::CComPtr<IVQServerEmergencyAgent> ptrAgent;
    auto proxy = m_pGIT.GetReadProxy();
    IGlobalInterfaceTable* const pGIT = proxy->ptr;
    if (pGIT == nullptr || dwCookie == 0) {
        return ptrAgent;
    }
    // Built on every call rather than kept in a static.
    const XVQComBSTR functionName(L"XEmergencyHandlerInstance::GetServerEmergencyAgentFromGIT");
    const HRESULT hr = pGIT->GetInterfaceFromGlobal(dwCookie, IID_IVQServerEmergencyAgent,
                                                    reinterpret_cast<void**>(&ptrAgent));
    if (FAILED(hr)) {  // the location is built only for a report: this runs per registration per pass
        ThrowExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, hr, XVQEXCEP::VQ_SEVERITY_SEVERE,
                           VQErrorLocation(kSourceFile, 342, VQModuleName(), functionName),
                           L"GetInterfaceFromGlobal IVQServerEmergencyAgent failed", L"", 1);
    }
    // The table's reference is the one the result owns.
    return ptrAgent;
}

void XEmergencyHandlerInstance::RevokeFromGIT(DWORD dwCookie) noexcept {
    try {
        auto proxy = m_pGIT.GetProxy();
        if (proxy->ptr != nullptr && dwCookie != 0) {
            proxy->ptr->RevokeInterfaceFromGlobal(dwCookie);
        }
    } catch (...) {
        // A cookie that cannot be revoked only keeps its agent alive; the caller's removal goes on.
    }
}

void XEmergencyHandlerInstance::ReleaseGIT() {
    // The table's Release when it is set, and the field emptied.
    m_pGIT.GetProxy()->ptr.Release();
}

void XEmergencyHandlerInstance::AddClientId(XClientEmergencyHandler* const pHandler, LONG lClientId) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::AddClientId");
    auto proxy = m_registry.GetProxy();
    const bool found = VisitRegistrationsOf(
        *proxy, pHandler, [&](DWORD dwCookie, XClientHandler& registration, std::set<LONG>& ids) {
            ids.insert(lClientId);
            if (auto* pFailover = FailoverRegistry()) {
                pFailover->Register(dwCookie, lClientId,
                                    static_cast<LONG>(registration.m_serverIdentity.m_dwServerId),
                                    registration.m_serverIdentity.m_bstrServerName);
            }
            return false;  // only the first registration of the handler takes the id
        });
    if (!found) {
        ThrowExcepIfFailed(
            XVQEXCEP::VQ_TYPE_MODULE, E_FAIL, XVQEXCEP::VQ_SEVERITY_WARNING, VQ_LOCATION(kSourceFile, 470),
            L"client emergency handler for the client connection registration request missing", L"", 1);
    }
}

void XEmergencyHandlerInstance::RemoveClientId(XClientEmergencyHandler* const pHandler, LONG lClientId) {
    auto proxy = m_registry.GetProxy();
    VisitRegistrationsOf(*proxy, pHandler,
                         [&](DWORD dwCookie, XClientHandler& /*registration*/, std::set<LONG>& ids) {
                             ids.erase(lClientId);
                             if (auto* pFailover = FailoverRegistry()) {
                                 pFailover->Deregister(dwCookie, lClientId);
                             }
                             return true;
                         });
}
