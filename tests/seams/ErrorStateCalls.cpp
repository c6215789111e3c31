// The failover registry's three calls replaced (seams/Interposition.h): recorded, failing on
// demand, and otherwise made on the real registry.
#include <mutex>
#include <stdexcept>
#include <utility>

#include "seams/ErrorState.h"
#include "seams/Interposition.h"

namespace vqtest::errorstate {
namespace {

using Registry = XVQErrorStateHandler::XClientEmergencyFailoverHandler;

// The C++ names of the calls: DWORD and LONG are unsigned long and long on Windows, 32-bit ints
// on Linux.
#define VQ_REGISTER                                                                                    \
    VQ_SYMBOL("_ZN20XVQErrorStateHandler31XClientEmergencyFailoverHandler8RegisterEjiiRK10XVQComBSTR", \
              "_ZN20XVQErrorStateHandler31XClientEmergencyFailoverHandler8RegisterEmllRK10XVQComBSTR")
#define VQ_DEREGISTER                                                                      \
    VQ_SYMBOL("_ZN20XVQErrorStateHandler31XClientEmergencyFailoverHandler10DeregisterEji", \
              "_ZN20XVQErrorStateHandler31XClientEmergencyFailoverHandler10DeregisterEml")
#define VQ_REMOVE                                                                                           \
    VQ_SYMBOL("_ZN20XVQErrorStateHandler31XClientEmergencyFailoverHandler28RemoveServerEmergencyHandlerEj", \
              "_ZN20XVQErrorStateHandler31XClientEmergencyFailoverHandler28RemoveServerEmergencyHandlerEm")

struct Record {
    std::mutex mutex;
    std::vector<Call> calls;
    unsigned failures = 0;
};

// Never destroyed: the module's worker may still call the registry while the process exits.
Record& TheRecord() {
    static Record* record = new Record;
    return *record;
}

// Records `call`, or throws when a failure is armed.
void Enter(Call call) {
    Record& record = TheRecord();
    std::lock_guard<std::mutex> lock(record.mutex);
    if (record.failures > 0) {
        --record.failures;
        throw std::runtime_error("failover registry call failed on request");
    }
    record.calls.push_back(std::move(call));
}

}  // namespace

namespace replacements {

VQ_REPLACEMENT(VQ_REGISTER, void, Register,
               (Registry * self, DWORD cookie, LONG clientId, LONG serverId, const XVQComBSTR& serverName)) {
    Enter({CallKind::Register, cookie, clientId, serverId, serverName});
    VQ_REAL(Register)(self, cookie, clientId, serverId, serverName);
}

VQ_REPLACEMENT(VQ_DEREGISTER, void, Deregister, (Registry * self, DWORD cookie, LONG clientId)) {
    Enter({CallKind::Deregister, cookie, clientId, 0, XVQComBSTR()});
    VQ_REAL(Deregister)(self, cookie, clientId);
}

VQ_REPLACEMENT(VQ_REMOVE, void, RemoveServerEmergencyHandler, (Registry * self, DWORD cookie)) {
    Enter({CallKind::RemoveServerEmergencyHandler, cookie, 0, 0, XVQComBSTR()});
    VQ_REAL(RemoveServerEmergencyHandler)(self, cookie);
}

}  // namespace replacements

std::vector<Call> Calls() {
    Record& record = TheRecord();
    std::lock_guard<std::mutex> lock(record.mutex);
    return record.calls;
}

void FailNext(unsigned calls) {
    Record& record = TheRecord();
    std::lock_guard<std::mutex> lock(record.mutex);
    record.failures = calls;
}

void Reset() {
    SetAbsent(false);
    Registry& registry = XVQErrorStateHandler::GetInstance()->GetClientEmergencyFailoverHandler();
    for (const auto& entry : registry.Registrations()) {
        // Through the real call: emptying the registry is not one of the calls under test.
        replacements::g_real_RemoveServerEmergencyHandler
            .Real<decltype(&replacements::RemoveServerEmergencyHandler)>()(&registry, entry.first);
    }
    registry.SetUserInteractionTimeout(Registry::kDefaultUserInteractionTimeout);
    Record& record = TheRecord();
    std::lock_guard<std::mutex> lock(record.mutex);
    record.calls.clear();
    record.failures = 0;
}

}  // namespace vqtest::errorstate
