// The exported facade and the exported members of XClientEmergencyHandler. Each function first
// refuses a call made on the thread of a pass (a callback calling back), before anything exists or
// changes; then it fetches the process-wide instance (creating and initialising it on the first
// call of the process) and passes its arguments on; what the instance throws reaches the client
// unchanged.
#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"

#include "errorreporting/VQErrorReporting.h"
#include "xemergencyhandlerinstance.h"

XClientEmergencyHandler::XClientEmergencyHandler() = default;

XClientEmergencyHandler::XClientEmergencyHandler(const XClientEmergencyHandler& /*other*/) = default;

XClientEmergencyHandler& XClientEmergencyHandler::operator=(const XClientEmergencyHandler& /*other*/) =
    default;

XClientEmergencyHandler::~XClientEmergencyHandler() = default;

void XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(
    XClientEmergencyHandler* const handler, const ATL::CComPtr<IVQServerEmergencyAgent>& agent) {
    VQ_FUNCTION_NAME(L"XVQProcessEmergencyHandler::RegisterServerEmergencyHandler");
    XEmergencyHandlerInstance::RefuseInsidePass(s_szFunctionName);
    XEmergencyHandlerInstance::Instance()->AddHandler(handler, agent);
}

void XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(XClientEmergencyHandler* const handler) {
    VQ_FUNCTION_NAME(L"XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler");
    XEmergencyHandlerInstance::RefuseInsidePass(s_szFunctionName);
    XEmergencyHandlerInstance::Instance()->RemoveHandler(handler);
}

void XVQProcessEmergencyHandler::RegisterClientConnectionId(XClientEmergencyHandler* const handler,
                                                            LONG clientConnectionId) {
    VQ_FUNCTION_NAME(L"XVQProcessEmergencyHandler::RegisterClientConnectionId");
    XEmergencyHandlerInstance::RefuseInsidePass(s_szFunctionName);
    XEmergencyHandlerInstance::Instance()->AddClientId(handler, clientConnectionId);
}

void XVQProcessEmergencyHandler::DeregisterClientConnectionId(XClientEmergencyHandler* const handler,
                                                              LONG clientConnectionId) {
    VQ_FUNCTION_NAME(L"XVQProcessEmergencyHandler::DeregisterClientConnectionId");
    XEmergencyHandlerInstance::RefuseInsidePass(s_szFunctionName);
    XEmergencyHandlerInstance::Instance()->RemoveClientId(handler, clientConnectionId);
}

XVQProcessEmergencyHandler& XVQProcessEmergencyHandler::operator=(
    const XVQProcessEmergencyHandler& /*other*/) = default;
