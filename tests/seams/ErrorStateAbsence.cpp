// XVQErrorStateHandler::GetInstance() replaced (seams/Interposition.h): null while the tests make
// the error state absent. A file of its own, so that a program that only needs the absence (the
// benchmarks) does not record the registry's calls.
#include <atomic>

#include "seams/ErrorState.h"
#include "seams/Interposition.h"

namespace vqtest::errorstate {
namespace {

std::atomic<bool> g_absent{false};

}  // namespace

namespace replacements {

VQ_REPLACEMENT("_ZN20XVQErrorStateHandler11GetInstanceEv", XVQErrorStateHandler*, GetInstance, ()) {
    XVQErrorStateHandler* const instance = VQ_REAL(GetInstance)();
    return g_absent.load(std::memory_order_acquire) ? nullptr : instance;
}

}  // namespace replacements

void SetAbsent(bool absent) {
    g_absent.store(absent, std::memory_order_release);
}

}  // namespace vqtest::errorstate
