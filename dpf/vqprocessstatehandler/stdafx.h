// The module's entry and its structured-exception translator.
//
// Module entry: loading the module builds its static objects (the module name of the error
// reporting, and each function's name on the function's first entry) and starts nothing: no
// thread, no singleton, no COM. All emergency handling starts at the first call of an exported
// function. Unloading destroys the static objects; on Windows the runtime's DLL entry does this
// before and after DllMain, on Linux the loader's static initialisation and exit do. The singletons
// and the worker, once started, are never torn down by the entry and live until the process ends,
// and so does the module: the first exported call pins it, so that no unload unmaps it under the
// worker.
//
// CServiceModule::TranslateCException is a translator for vqplatform::SetThreadTranslator
// (vqplatform/seh.h), installed by the worker thread for itself and by no other thread; the
// scheduler runs the thread within vqplatform::RunTranslated. It reports the structured exception
// to the log book from ".\\stdafx" line 21 under the name "CServiceModule::TranslateCException" and
// throws it as an XWrappedVQException around an XVQStructuredException whose HRESULT is the
// exception code, which the worker's catch ladder receives.
#pragma once

#include "VQError/VQError.h"
#include "vqplatform/seh.h"

class CServiceModule {
  public:
    static void TranslateCException(unsigned int code, EXCEPTION_POINTERS* info);
};
