// vqdemo_com_server: the demo's agent server as a COM local server. It hosts one XDemoServerAgent
// and hands it to every client that creates its class (the class object is registered for multiple
// use, so all clients reach the same agent through COM remoting). Its state follows the same script
// and standard-input commands as vqdemo_agent_server. /RegServer and /UnregServer write and remove
// the class's LocalServer32 entry; --class-id picks another class than the demo's, so that a test
// can use a class of its own. Every line it prints starts with a timestamp.
#include <windows.h>

#include <objbase.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "agent_server/XDemoServerAgent.h"
#include "agent_server/XServerScript.h"
#include "com/DemoClass.h"
#include "protocol/text.h"

namespace {

using vqdemo::PrintLine;

constexpr const char* kUsage =
    "usage: vqdemo_com_server [/RegServer | /UnregServer] [--class-id {CLSID}] [--script STEPS]\n"
    "                         [--server-id N] [--server-name NAME]\n"
    "  /RegServer, /UnregServer   write or remove the class's LocalServer32 entry and end\n"
    "  --class-id {CLSID}         the class to serve (default: the demo's)\n"
    "  --script STEPS             as for vqdemo_agent_server, e.g. \"normal:15,emergency:11,stop\"\n"
    "  --server-id N, --server-name NAME   the identity the agent reports\n"
    "standard input: state N | normal | emergency | status | quit\n";

// Every instance is the one agent: clients share its state, as the clients of one server do. The
// factory lives as long as the program, so it counts no references.
class XAgentClassFactory : public IClassFactory {
  public:
    explicit XAgentClassFactory(ATL::CComPtr<vqdemo::XDemoServerAgent> agent) : m_agent(std::move(agent)) {}
    virtual ~XAgentClassFactory() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppvObject = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        *ppvObject = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return m_agent->QueryInterface(riid, ppvObject);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  private:
    const ATL::CComPtr<vqdemo::XDemoServerAgent> m_agent;
};

// Writes HKEY_CLASSES_ROOT\CLSID\{class}\LocalServer32: this program, started for that class.
LSTATUS RegisterServer(const CLSID& classId) {
    wchar_t path[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
        return static_cast<LSTATUS>(GetLastError());
    }
    const std::wstring id = vqdemo::ClassIdText(classId);
    const std::wstring command = L"\"" + std::wstring(path) + L"\" --class-id " + id;
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + id + L"\\LocalServer32").c_str(), 0,
                                     nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                                static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    return status;
}

LSTATUS UnregisterServer(const CLSID& classId) {
    const LSTATUS status =
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + vqdemo::ClassIdText(classId)).c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

bool IsSwitch(const std::string& arg, const char* name) {
    return (arg[0] == '/' || arg[0] == '-') && _stricmp(arg.c_str() + 1, name) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    vqdemo::XDemoServerAgent::Settings settings;
    std::vector<vqdemo::Step> steps;
    CLSID classId = vqdemo::kDemoClassId;
    enum class Action { Serve, Register, Unregister } action = Action::Serve;
    int i = 1;
    while (i < argc) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : "";
        std::string error;
        bool takesValue = true;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (IsSwitch(arg, "RegServer") || IsSwitch(arg, "UnregServer")) {
            action = IsSwitch(arg, "RegServer") ? Action::Register : Action::Unregister;
            takesValue = false;
        } else if (IsSwitch(arg, "Embedding")) {
            takesValue = false;  // COM started us for a client: serve as usual
        } else if (arg == "--class-id" && hasValue) {
            if (!vqdemo::ParseClassId(value, &classId)) {
                std::cerr << "vqdemo_com_server: bad class id '" << value << "'\n";
                return 2;
            }
        } else if (hasValue && vqdemo::TakeServerOption(arg, value, &settings, &steps, &error)) {
            if (!error.empty()) {
                std::cerr << "vqdemo_com_server: " << error << "\n";
                return 2;
            }
        } else {
            std::cerr << "vqdemo_com_server: bad argument '" << arg << "'\n" << kUsage;
            return 2;
        }
        i += takesValue ? 2 : 1;
    }
    const std::string classText = vqdemo::Utf8FromWide(vqdemo::ClassIdText(classId));
    if (action != Action::Serve) {
        const LSTATUS status =
            action == Action::Register ? RegisterServer(classId) : UnregisterServer(classId);
        PrintLine((action == Action::Register ? "registered " : "unregistered ") + classText +
                      (status == ERROR_SUCCESS ? "" : ": failed, error " + std::to_string(status)),
                  status == ERROR_SUCCESS ? stdout : stderr);
        return status == ERROR_SUCCESS ? 0 : 1;
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        PrintLine("CoInitializeEx failed: " + vqdemo::HexText(static_cast<std::uint32_t>(hr)), stderr);
        return 1;
    }
    auto log = [](const std::string& line) { PrintLine(line); };
    const ATL::CComPtr<vqdemo::XDemoServerAgent> agent = vqdemo::XDemoServerAgent::Create(settings, log);
    XAgentClassFactory factory(agent);
    DWORD registration = 0;
    hr = CoRegisterClassObject(classId, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &registration);
    if (FAILED(hr)) {
        PrintLine("CoRegisterClassObject " + classText +
                      " failed: " + vqdemo::HexText(static_cast<std::uint32_t>(hr)),
                  stderr);
        CoUninitialize();
        return 1;
    }
    PrintLine("COM local server for class " + classText + " in process " +
              std::to_string(GetCurrentProcessId()) + ": " + vqdemo::ServerDescription(settings, *agent));
    vqdemo::Serve(steps, agent, [registration, &agent] {
        // No new clients, then COM disconnects the existing ones: their next calls fail.
        CoRevokeClassObject(registration);
        CoDisconnectObject(static_cast<IVQServerEmergencyAgent*>(agent), 0);
    });
    CoUninitialize();
    PrintLine("stopped");
    return 0;
}
