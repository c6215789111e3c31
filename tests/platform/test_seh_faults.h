// Faults on purpose, for the structured-exception tests: each helper faults while it holds a lock in
// a guard, so a test can see that the translator's exception ran the guard's destructor.
//
// The sources that include this are compiled with -fnon-call-exceptions (tests/CMakeLists.txt), so
// the faulting instructions have landing pads. The helpers are GCC's noipa: the compiler may neither
// fold a known argument into them (a null read would become a trap instruction) nor conclude that
// they cannot throw and drop the caller's catch region. UBSan would report the null read and the
// division by zero instead of letting them fault, so it is off for these few lines.
#pragma once

#include <mutex>

#if defined(__clang__)
// Clang has no noipa; optnone with noinline keeps the faulting instructions as written. (Clang
// parses these sources for clang-tidy; the build is GCC's.)
#define VQTEST_FAULTS_ON_PURPOSE __attribute__((noinline, optnone, no_sanitize("undefined")))
#else
#define VQTEST_FAULTS_ON_PURPOSE __attribute__((noipa, no_sanitize("undefined")))
#endif

namespace vqtest {

VQTEST_FAULTS_ON_PURPOSE inline int ReadUnderLock(std::mutex& lock, const volatile int* address) {
    std::lock_guard<std::mutex> guard(lock);
    return *address;
}

VQTEST_FAULTS_ON_PURPOSE inline int DivideUnderLock(std::mutex& lock, int dividend, int divisor) {
    std::lock_guard<std::mutex> guard(lock);
    return dividend / divisor;
}

#if !defined(_WIN32)
// ud2, the instruction defined to be illegal. No guard here: GCC gives an asm statement no landing pad.
VQTEST_FAULTS_ON_PURPOSE inline void ExecuteIllegalInstruction() {
    asm volatile("ud2");
}
#endif

}  // namespace vqtest
