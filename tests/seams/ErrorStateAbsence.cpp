// XVQErrorStateHandler::GetInstance() replaced (seams/Interposition.h): null while the tests make
// the error state absent. A file of its own, so that a program that only needs the absence (the
// benchmarks) does not record the registry's calls.
#include <atomic>

#include "seams/ErrorState.h"
#include "seams/Interposition.h"

namespace vqtest::errorstate {
namespace {

#define VQ_GET_INSTANCE "_ZN20XVQErrorStateHandler11GetInstanceEv"

std::atomic<bool> g_absent{false};
interposition::Replaced g_getInstance{VQ_GET_INSTANCE};

}  // namespace

namespace replacements {

XVQErrorStateHandler* GetInstance() VQ_REPLACES(VQ_GET_INSTANCE);
XVQErrorStateHandler* GetInstance() {
    XVQErrorStateHandler* const instance = g_getInstance.Real<decltype(&GetInstance)>()();
    return g_absent.load(std::memory_order_acquire) ? nullptr : instance;
}

}  // namespace replacements

namespace {

const struct Installation {
    Installation() { g_getInstance.Install(reinterpret_cast<void*>(&replacements::GetInstance)); }
} g_installation;

}  // namespace

void SetAbsent(bool absent) {
    g_absent.store(absent, std::memory_order_release);
}

}  // namespace vqtest::errorstate
