// A client program of the installed package. On Windows the SDK's own headers come first, as in
// most client code, and the library's headers must compose with them (no second _com_error, no
// macros forced on the client). It is refused where the contract says so, and catches the
// library's exception type across the DLL boundary.
#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#include <comdef.h>
#endif

#include <VQError/XVQException.h>
#include <VQError/XVQLogBook.h>
#include <VQProcessStateHandler/XVQProcessEmergencyHandler.h>

#include <cstdio>

namespace {

class Handler : public XClientEmergencyHandler {
  public:
    void OnServerEmergencyState(DWORD, LONG) override {}
    void OnAgentError(DWORD) override {}
    void OnClientEmergencyFailover(LONG, DWORD) override {}
};

int Fail(const char* what) {
    std::fprintf(stderr, "vqconsumer: FAIL: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return Fail("CoInitializeEx");
    }
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    Handler handler;
    try {
        XVQProcessEmergencyHandler::RegisterClientConnectionId(&handler, 7);
        return Fail("a connection id was taken for a handler without registration");
    } catch (const XWrappedVQException& error) {
        if (error.IsEmpty() || error->HResult() != E_FAIL) {
            return Fail("the refusal does not carry E_FAIL");
        }
    }
    XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&handler);
    CoUninitialize();
    std::printf("vqconsumer: ok\n");
    return 0;
}
