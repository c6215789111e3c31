/// @file
/// The way into VQProcessStateHandler64: its four functions. Include this header; it brings the
/// callback class and the agent interfaces with it.

/// @class XVQProcessEmergencyHandler
/// The way into VQProcessStateHandler64: four static functions.
///
/// A client registers its XClientEmergencyHandler with the server's IVQServerEmergencyAgent, then
/// announces the ids of its connections to that server for the handler. From then on the library's
/// worker asks the agent every 10 seconds for the server emergency state and calls the handler back
/// (see XClientEmergencyHandler.h for the callbacks and what they may do).
///
/// Contract:
/// - Any thread of the process may call the four functions, in any COM apartment, at any time but
///   from inside a callback. There each of them throws XWrappedVQException (E_ILLEGAL_METHOD_CALL,
///   0x8000000E, also written to the log book) and changes nothing, not even as the first call of
///   the process. On Windows the thread must have initialised COM before it registers a handler:
///   the agent is passed to the worker through the Global Interface Table.
/// - The first call of the process, whichever function it is, creates the library's process-wide
///   state and starts its worker thread; nothing of it is ever torn down before the process ends.
///   From that call on the library and the libraries it uses stay loaded until the process ends:
///   FreeLibrary or dlclose no longer unloads them. A library loaded and unloaded without any call
///   leaves nothing behind.
/// - Every RegisterServerEmergencyHandler makes a registration of its own, also for a handler or
///   agent registered before; DeregisterServerEmergencyHandler removes the handler from all of them.
///   A client connection id goes to the handler's first registration only; deregistering it reaches
///   all of them.
/// - The functions catch nothing. RegisterServerEmergencyHandler throws XWrappedVQException when the
///   Global Interface Table cannot be created or the agent cannot be registered in it (a null agent
///   included); nothing is registered then. RegisterClientConnectionId throws XWrappedVQException
///   (E_FAIL, "client emergency handler for the client connection registration request missing")
///   for a handler that has no registration. Any function may throw std::bad_alloc or an
///   XWrappedVQException of the library's internal locking, and the first call of the process one
///   of the worker's start. Deregistering what is not registered does nothing and throws nothing.
/// - A failure to read the server's identity is not an error of the call: it is logged, and the
///   registration is made with server id 0xFFFFFFFF and an empty server name.
/// - A hardware fault in an agent call ends the worker, and one in a callback is logged (see
///   XClientEmergencyHandler.h); either way the process goes on. On Windows this translation lives on
///   the worker's own stack: the host's top-level exception filter plays no part in it. On Linux it
///   rests on the library's handlers for SIGSEGV, SIGBUS, SIGFPE and SIGILL, installed for the whole
///   process when the worker starts and chained to the handlers installed before them. A host that
///   later replaces them without chaining to them loses that: faults in agents and callbacks on the
///   worker are no longer turned into agent error kind 3 or a logged callback error, and the host's
///   own handler (or the signal's default action) sees them instead.
#pragma once

#include "VQProcessStateHandler/IVQServerEmergencyAgent.h"
#include "VQProcessStateHandler/VQProcessStateHandlerExport.h"
#include "VQProcessStateHandler/XClientEmergencyHandler.h"
#include "vqplatform/comptr.h"

class VQPSH_API XVQProcessEmergencyHandler {
  public:
    /// Registers a handler with the server behind an agent, in a registration of its own.
    /// @param handler The handler, kept as a bare pointer; a null one is accepted and never called.
    /// @param agent The server's emergency agent; registered in the Global Interface Table.
    /// @throws XWrappedVQException The Global Interface Table cannot be created or the agent cannot
    ///   be registered in it (a null agent included); nothing is registered then.
    static void RegisterServerEmergencyHandler(XClientEmergencyHandler* const handler,
                                               const ATL::CComPtr<IVQServerEmergencyAgent>& agent);
    /// Removes a handler from all its registrations, with its client connection ids; a registration
    /// left without handlers is withdrawn from the server's failover registry. A handler that is not
    /// registered is no error.
    /// @param handler The handler.
    static void DeregisterServerEmergencyHandler(XClientEmergencyHandler* const handler);
    /// Announces a connection of this client to the server of the handler's first registration.
    /// @param handler The handler, registered before.
    /// @param clientConnectionId The connection's id, a 32-bit signed value (a Windows `long`) on every
    ///   platform.
    /// @throws XWrappedVQException E_FAIL, "client emergency handler for the client connection
    ///   registration request missing", for a handler that has no registration.
    static void RegisterClientConnectionId(XClientEmergencyHandler* const handler, LONG clientConnectionId);
    /// Withdraws a connection id from every registration of the handler. An id that is not registered
    /// is no error.
    /// @param handler The handler.
    /// @param clientConnectionId The connection's id.
    static void DeregisterClientConnectionId(XClientEmergencyHandler* const handler, LONG clientConnectionId);

    /// The class has no state; assignment copies nothing.
    /// @param other The object assigned.
    /// @return This object.
    XVQProcessEmergencyHandler& operator=(const XVQProcessEmergencyHandler& other);
};
