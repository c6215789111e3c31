// Faults on purpose, for the structured-exception tests: each helper faults while it holds a lock in
// a guard, so a test can see that the translator's exception ran the guard's destructor.
//
// The sources that include this are compiled with -fnon-call-exceptions (tests/CMakeLists.txt), so
// the faulting instructions have landing pads. The helpers are GCC's noipa: the compiler may neither
// fold a known argument into them (a null read would become a trap instruction) nor conclude that
// they cannot throw and drop the caller's catch region. UBSan would report the null read and the
// division by zero instead of letting them fault, so it is off for these few lines.
#pragma once

#include <cstdint>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#define VQTEST_FAULTS_ON_PURPOSE __attribute__((noipa, no_sanitize("undefined")))

namespace vqtest {

VQTEST_FAULTS_ON_PURPOSE inline int ReadUnderLock(std::mutex& lock, const volatile int* address) {
    std::lock_guard<std::mutex> guard(lock);
    return *address;
}

VQTEST_FAULTS_ON_PURPOSE inline void WriteUnderLock(std::mutex& lock, volatile int* address) {
    std::lock_guard<std::mutex> guard(lock);
    *address = 1;
}

VQTEST_FAULTS_ON_PURPOSE inline int DivideUnderLock(std::mutex& lock, int dividend, int divisor) {
    std::lock_guard<std::mutex> guard(lock);
    return dividend / divisor;
}

// One page that may neither be read nor written.
class NoAccessPage {
  public:
#if defined(_WIN32)
    NoAccessPage() : m_page(VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS)) {}
    ~NoAccessPage() {
        VirtualFree(m_page, 0, MEM_RELEASE);
    }
#else
    NoAccessPage() : m_page(mmap(nullptr, kSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {}
    ~NoAccessPage() {
        munmap(m_page, kSize);
    }
#endif
    NoAccessPage(const NoAccessPage&) = delete;
    NoAccessPage& operator=(const NoAccessPage&) = delete;

    bool Valid() const {
#if defined(_WIN32)
        return m_page != nullptr;
#else
        return m_page != MAP_FAILED;
#endif
    }
    int* Address() const {
        return static_cast<int*>(m_page);
    }

  private:
    static constexpr std::size_t kSize = 4096;
    void* m_page;
};

}  // namespace vqtest
