/* The proxy/stub DLL of the agent interfaces: widl's proxy code with the entry points COM and
 * regsvr32 call (the class factory of the proxies and stubs, their registration). */
#define REGISTER_PROXY_DLL
#include <objbase.h>

/* rpcrt4 has them; MinGW's unknwn.h declares them for C++ only, and widl's C code uses them. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#include "VQServerEmergencyAgent_p.c"

static const ProxyFileInfo* aProxyFileList[] = {&VQServerEmergencyAgent_ProxyFileInfo, NULL};

/* The class of the proxy/stub factory is the first interface's id, as MIDL's default is. */
DLLDATA_ROUTINES(aProxyFileList, GET_DLL_CLSID)
