// With _MSC_VER mingw-w64's comdef.h includes comdefsp.h, the smart-pointer typedefs of the SDK's
// interfaces, some of which (msxml.h's) mingw-w64 declares without an id: those typedefs stay out.
#define _INC_COMDEFSP
#include_next <comdef.h>
