// Export macro of the platform layer and the maker's components.
//
// On Linux these are shared libraries built with hidden visibility: every class and function that
// other libraries or client code reach is marked VQ_EXPORT. That includes every exception type,
// whose type information must be one and the same in all libraries for catch clauses to match.
// On Windows they are linked statically into each binary, so the macro is empty there.
#pragma once

#if defined(_WIN32)
#define VQ_EXPORT
#else
#define VQ_EXPORT __attribute__((visibility("default")))
#endif
