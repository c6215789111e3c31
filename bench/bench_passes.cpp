// The worker's cost per registration: one full cycle (state pass, then failover pass) over N
// registrations whose in-process agents answer at once and report no change; the memory a
// registration with one handler and one client connection id takes; and RemoveHandler of one
// handler among N registrations.
//
// Figures (counters):
//   BM_Cycle/N             per_registration: cycle time / N
//   BM_RegistryWalk/N      per_registration: one bare walk of the registry / N (a cycle walks twice)
//   BM_MemoryPerRegistration  module: registry and handler index; table: the Global Interface
//                          Table's entry; error_state: the failover registry's entry;
//                          total: all three (bytes per registration, heap in use, glibc)
//   BM_RemoveHandler/N     time of one RemoveHandler (its re-registration is not timed)
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "VQError/VQError.h"
#include "seams/ErrorState.h"
#include "xemergencyhandlerinstance.h"

namespace {

// An agent that answers at once, always with state 0 and no emergency.
class InstantAgent final : public IVQServerEmergencyAgent {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IVQServerEmergencyAgent)) {
            *ppvObject = static_cast<IVQServerEmergencyAgent*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    // Owned by the benchmark for the whole run: counted, never deleted through Release.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }

    HRESULT STDMETHODCALLTYPE GetServerEmergencyState(DWORD* pState) override {
        *pState = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) override {
        pConfiguration->activation = 1;
        pConfiguration->emergencyStateMask = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RequestClientEmergencyFailover(DWORD, BSTR, LONG* pResult) override {
        *pResult = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetServerEmergencyState(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateText(DWORD, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateAge(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AcknowledgeServerEmergency(DWORD, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEmergencyConfiguration(EmergencyConfiguration*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetEmergencyClientCount(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEmergencyClient(LONG, DWORD*, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFailoverServerName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetFailoverServerName(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartEmergencyDrill(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StopEmergencyDrill() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelClientEmergencyFailover(DWORD, BSTR) override { return E_NOTIMPL; }

  private:
    ULONG m_refs = 1;
};

class QuietHandler final : public XClientEmergencyHandler {
  public:
    void OnServerEmergencyState(DWORD, LONG) override {}
    void OnAgentError(DWORD) override {}
    void OnClientEmergencyFailover(LONG, DWORD) override {}
};

// N registrations, one agent and one handler each, on an instance that starts no worker.
struct Registrations {
    explicit Registrations(std::size_t n) : agents(n), handlers(n) {
        for (std::size_t i = 0; i < n; ++i) {
            Register(i);
        }
        // The first poll of each registration is a change; the benchmark measures the cycles after.
        instance.HandleServerEmergencyState();
        instance.HandleClientEmergencyFailoverState();
    }
    void Register(std::size_t i) {
        instance.AddHandler(&handlers[i], ATL::CComPtr<IVQServerEmergencyAgent>(&agents[i]));
        instance.AddClientId(&handlers[i], static_cast<LONG>(i));
    }

    XEmergencyHandlerInstance instance{[](XEmergencyHandlerInstance&) {}};
    std::vector<InstantAgent> agents;
    std::vector<QuietHandler> handlers;
};

Registrations& RegistrationsOf(std::size_t n) {
    static std::map<std::size_t, std::unique_ptr<Registrations>> made;
    std::unique_ptr<Registrations>& registrations = made[n];
    if (!registrations) {
        registrations = std::make_unique<Registrations>(n);
    }
    return *registrations;
}

// Joins the multithreaded apartment once, for the thread that runs the benchmarks.
void JoinApartment() {
    static const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    benchmark::DoNotOptimize(coInit);
}

void BM_Cycle(benchmark::State& state) {
    JoinApartment();
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    const auto n = static_cast<std::size_t>(state.range(0));
    XEmergencyHandlerInstance& instance = RegistrationsOf(n).instance;
    for (auto _ : state) {
        instance.HandleServerEmergencyState();
        instance.HandleClientEmergencyFailoverState();
    }
    state.counters["per_registration"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Cycle)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The floor under BM_Cycle: one walk over the registry under its write proxy, reading what the
// failover pass reads of each record. Each cycle walks it twice.
void BM_RegistryWalk(benchmark::State& state) {
    JoinApartment();
    const auto n = static_cast<std::size_t>(state.range(0));
    XEmergencyHandlerInstance& instance = RegistrationsOf(n).instance;
    for (auto _ : state) {
        auto proxy = instance.Registry().GetProxy();
        DWORD seen = 0;
        for (const auto& entry : proxy->registrations) {
            seen += entry.first + (entry.second.m_bEmergency ? 1 : 0);
        }
        benchmark::DoNotOptimize(seen);
    }
    state.counters["per_registration"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RegistryWalk)->Arg(1000)->Arg(10000)->Arg(100000);

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

void BM_MemoryPerRegistration(benchmark::State& state) {
    JoinApartment();
    constexpr std::size_t kCount = 100000;
    double module = 0;
    double table = 0;
    double errorState = 0;
    for (auto _ : state) {
        std::vector<InstantAgent> agents(kCount);

        // The table's share: the same registrations straight into the table.
        IGlobalInterfaceTable* pGIT = nullptr;
        CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&pGIT));
        std::vector<DWORD> cookies(kCount);
        std::size_t before = HeapInUse();
        for (std::size_t i = 0; i < kCount; ++i) {
            pGIT->RegisterInterfaceInGlobal(&agents[i], IID_IVQServerEmergencyAgent, &cookies[i]);
        }
        table = static_cast<double>(HeapInUse() - before) / kCount;
        for (const DWORD cookie : cookies) {
            pGIT->RevokeInterfaceFromGlobal(cookie);
        }
        pGIT->Release();

        // Registrations with and without the failover registry (the error state absent).
        for (const bool withErrorState : {false, true}) {
            vqtest::errorstate::SetAbsent(!withErrorState);
            auto registrations = std::make_unique<Registrations>(0);
            registrations->agents = std::vector<InstantAgent>(kCount);
            registrations->handlers = std::vector<QuietHandler>(kCount);
            before = HeapInUse();
            for (std::size_t i = 0; i < kCount; ++i) {
                registrations->Register(i);
            }
            const double perRegistration = static_cast<double>(HeapInUse() - before) / kCount;
            (withErrorState ? errorState : module) = perRegistration;
            for (QuietHandler& handler : registrations->handlers) {
                registrations->instance.RemoveHandler(&handler);
            }
            registrations->instance.ReleaseGIT();
        }
        vqtest::errorstate::SetAbsent(false);
    }
    const double total = errorState;
    errorState -= module;
    module -= table;
    state.counters["module"] = module;
    state.counters["table"] = table;
    state.counters["error_state"] = errorState;
    state.counters["total"] = total;
}
BENCHMARK(BM_MemoryPerRegistration)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RemoveHandler(benchmark::State& state) {
    JoinApartment();
    const auto n = static_cast<std::size_t>(state.range(0));
    Registrations& registrations = RegistrationsOf(n);
    std::size_t next = 0;
    for (auto _ : state) {
        const std::size_t i = next;
        next = (next + 7919) % n;
        const auto start = std::chrono::steady_clock::now();
        registrations.instance.RemoveHandler(&registrations.handlers[i]);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        registrations.Register(i);
    }
}
BENCHMARK(BM_RemoveHandler)->Arg(1000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
