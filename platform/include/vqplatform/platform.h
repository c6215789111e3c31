// Everything the library and its clients use of Win32, COM, ATL and MFC. On Windows this maps to
// the SDK (plus our ATL/MFC stand-ins); on Linux to the stand-in in platform/src/linux.
#pragma once

#include "vqplatform/types.h"
#include "vqplatform/kernel.h"
#include "vqplatform/com.h"
#include "vqplatform/atl.h"
#include "vqplatform/sync.h"
#include "vqplatform/threads.h"
#include "vqplatform/messages.h"
