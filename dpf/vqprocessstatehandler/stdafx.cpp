#include "stdafx.h"

#include "errorreporting/VQErrorReporting.h"

void CServiceModule::TranslateCException(unsigned int code, EXCEPTION_POINTERS* info) {
    VQ_FUNCTION_NAME(L"CServiceModule::TranslateCException");
    XVQError::TranslateCException(VQ_LOCATION(".\\stdafx", 21), code, info, true);
}

#if defined(_WIN32)
// The loader's entry. The runtime's DLL entry around it builds and destroys the static objects and
// forwards thread attach and detach; the module itself has nothing to do at any of them.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
#endif
