// The exported facade and the exported members of XClientEmergencyHandler. The facade adds
// nothing: each function fetches the process-wide instance (creating and initialising it on the
// first call of the process) and passes its arguments on; what the instance throws reaches the
// client unchanged.
#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"

#include "xemergencyhandlerinstance.h"

XClientEmergencyHandler::XClientEmergencyHandler() = default;

XClientEmergencyHandler::XClientEmergencyHandler(const XClientEmergencyHandler& /*other*/) = default;

XClientEmergencyHandler& XClientEmergencyHandler::operator=(const XClientEmergencyHandler& /*other*/) =
    default;

XClientEmergencyHandler::~XClientEmergencyHandler() = default;

void XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(
    XClientEmergencyHandler* const handler, const ATL::CComPtr<IVQServerEmergencyAgent>& agent) {
    XEmergencyHandlerInstance::Instance()->AddHandler(handler, agent);
}

void XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(XClientEmergencyHandler* const handler) {
    XEmergencyHandlerInstance::Instance()->RemoveHandler(handler);
}

void XVQProcessEmergencyHandler::RegisterClientConnectionId(XClientEmergencyHandler* const handler,
                                                            LONG clientConnectionId) {
    XEmergencyHandlerInstance::Instance()->AddClientId(handler, clientConnectionId);
}

void XVQProcessEmergencyHandler::DeregisterClientConnectionId(XClientEmergencyHandler* const handler,
                                                              LONG clientConnectionId) {
    XEmergencyHandlerInstance::Instance()->RemoveClientId(handler, clientConnectionId);
}

XVQProcessEmergencyHandler& XVQProcessEmergencyHandler::operator=(
    const XVQProcessEmergencyHandler& /*other*/) = default;
