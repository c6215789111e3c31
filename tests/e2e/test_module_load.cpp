// Loading the module starts nothing of the emergency handling: no thread runs, and nothing holds the
// module once it is unloaded again. This program does not link the module, so that loading it here
// runs its static initialisation.
#include <gtest/gtest.h>

#include <cstddef>

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

}  // namespace
