// A client program of the installed package. On Windows the SDK's own headers come first, as in
// most client code, and the library's headers must compose with them (no second _com_error, no
// macros forced on the client, none of the SDK's undefined), and the interfaces carry their ids for
// __uuidof. It is refused where the contract says so, and catches the library's exception type
// across the DLL boundary.
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

#if defined(_WIN32)
// The SDK's macros keep their values next to the library's headers, even with the error component's
// names in scope: a failure HRESULT made with SEVERITY_ERROR stays a failure.
namespace sdk_names {
using namespace XVQEXCEP;
static_assert(SEVERITY_ERROR == 1 && FAILED(MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x200)),
              "SEVERITY_ERROR is not the SDK's");
}  // namespace sdk_names

// The interfaces carry their ids for __uuidof, as COM client code asks for them.
int CheckInterfaceIds() {
    if (!IsEqualIID(__uuidof(IVQServerEmergencyAgent), IID_IVQServerEmergencyAgent) ||
        !IsEqualIID(__uuidof(IVQServerIdentity), IID_IVQServerIdentity)) {
        return Fail("__uuidof does not give the interface ids");
    }
    const CLSID unregistered = {0x5F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
    IVQServerEmergencyAgent* agent = nullptr;
    if (CoCreateInstance(unregistered, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IVQServerEmergencyAgent),
                         reinterpret_cast<void**>(&agent)) != REGDB_E_CLASSNOTREG ||
        agent != nullptr) {
        return Fail("CoCreateInstance of an unregistered class did not fail with REGDB_E_CLASSNOTREG");
    }
    return 0;
}
#endif

}  // namespace

int main() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        return Fail("CoInitializeEx");
    }
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
#if defined(_WIN32)
    if (CheckInterfaceIds() != 0) {
        return 1;
    }
#endif
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
