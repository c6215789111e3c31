// Loading the module starts nothing of the emergency handling: no thread runs, and nothing holds the
// module once it is unloaded again. Once it has been called, it stays loaded for its worker. This
// program does not link the module, so that loading it here runs its static initialisation; it
// finds the exported functions by their names.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <thread>

#include "support/TestAgent.h"

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#endif

namespace {

#if defined(_WIN32)
struct Os {
    using Module = HMODULE;
    static Module Load() { return LoadLibraryA(VQPSH_MODULE_PATH); }
    static bool Unload(Module module) { return FreeLibrary(module) != FALSE; }
    static bool IsLoaded() { return GetModuleHandleA("VQProcessStateHandler64.dll") != nullptr; }
    static void* Find(Module module, const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(module, name));
    }
    static std::size_t ThreadCount() {
        const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        std::size_t count = 0;
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
            count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
        }
        CloseHandle(snapshot);
        return count;
    }
};
#else
struct Os {
    using Module = void*;
    static Module Load() { return dlopen(VQPSH_MODULE_PATH, RTLD_NOW | RTLD_LOCAL); }
    static bool Unload(Module module) { return dlclose(module) == 0; }
    static bool IsLoaded() {
        void* const module = dlopen(VQPSH_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
        if (module != nullptr) {
            dlclose(module);
        }
        return module != nullptr;
    }
    static void* Find(Module module, const char* name) { return dlsym(module, name); }
    static std::size_t ThreadCount() {
        std::size_t count = 0;
        DIR* const tasks = opendir("/proc/self/task");
        for (const dirent* entry = readdir(tasks); entry != nullptr; entry = readdir(tasks)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(tasks);
        return count;
    }
};
#endif

TEST(ModuleLoad, LoadingStartsNoThreadAndUnloadingLeavesNothingBehind) {
    ASSERT_FALSE(Os::IsLoaded()) << "the module must not be linked into this program";
    const std::size_t threads = Os::ThreadCount();
    // Twice: the module's static objects are built and destroyed cleanly each time.
    for (int round = 0; round < 2; ++round) {
        const Os::Module module = Os::Load();
        ASSERT_NE(module, nullptr) << VQPSH_MODULE_PATH;
        EXPECT_EQ(Os::ThreadCount(), threads) << "loading started a thread";
        EXPECT_TRUE(Os::Unload(module));
        EXPECT_FALSE(Os::IsLoaded())
            << "something still holds the module: a thread or a thread-exit destructor";
        EXPECT_EQ(Os::ThreadCount(), threads);
    }
}

// The exported functions as the linker names them, alike on both platforms.
class XClientEmergencyHandler;
using RegisterServerEmergencyHandler = void (*)(XClientEmergencyHandler*,
                                                const ATL::CComPtr<IVQServerEmergencyAgent>&);
using DeregisterServerEmergencyHandler = void (*)(XClientEmergencyHandler*);
constexpr const char* kRegisterServerEmergencyHandler =
    "_ZN26XVQProcessEmergencyHandler30RegisterServerEmergencyHandlerEP23XClientEmergencyHandlerRKN3ATL7CComPt"
    "rI23"
    "IVQServerEmergencyAgentEE";
constexpr const char* kDeregisterServerEmergencyHandler =
    "_ZN26XVQProcessEmergencyHandler32DeregisterServerEmergencyHandlerEP23XClientEmergencyHandler";

// After a registration on a thread that has ended, the client unloads the library; the worker it
// started wakes up 10 s after that first call, in code that must still be there. Runs after the
// test above, in the order written: it leaves the module loaded for good.
TEST(ModuleLoad, AfterTheFirstCallTheModuleOutlivesItsUnloadForTheWorker) {
    using namespace std::chrono_literals;
    const auto firstCall = std::chrono::steady_clock::now();
    const Os::Module module = Os::Load();
    ASSERT_NE(module, nullptr) << VQPSH_MODULE_PATH;
    const auto registerHandler =
        reinterpret_cast<RegisterServerEmergencyHandler>(Os::Find(module, kRegisterServerEmergencyHandler));
    const auto deregisterHandler = reinterpret_cast<DeregisterServerEmergencyHandler>(
        Os::Find(module, kDeregisterServerEmergencyHandler));
    ASSERT_NE(registerHandler, nullptr);
    ASSERT_NE(deregisterHandler, nullptr);
    const auto agent = vqtest::TestAgent::Create();
    std::thread([&] {
        const HRESULT coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_NO_THROW(registerHandler(nullptr, agent->AsAgent()));
        EXPECT_NO_THROW(deregisterHandler(nullptr));
        if (SUCCEEDED(coInit)) {
            CoUninitialize();
        }
    }).join();
    EXPECT_EQ(agent->RefCount(), 1u) << "registered and revoked from the Global Interface Table";
    EXPECT_TRUE(Os::Unload(module));
    // The one timed wait: past the worker's first wake-up, which nothing outside it can observe.
    std::this_thread::sleep_until(firstCall + 12s);
    EXPECT_TRUE(Os::IsLoaded()) << "unloaded under its worker";
}

}  // namespace
