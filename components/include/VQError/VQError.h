// The maker's error component: exceptions, log book, error state.
#pragma once

#include "VQError/VQErrorTypes.h"
#include "VQError/XVQException.h"
#include "VQError/XVQError.h"
#include "VQError/XVQExcepRefLogger.h"
#include "VQError/XVQErrorStateHandler.h"
#include "VQError/XVQLogBook.h"
