// As the Windows SDK's rpcndr.h defines it for MSVC: mingw-w64's drops the id, so that the SDK's own
// interfaces (IUnknown, IDispatch, ...) would have none for __uuidof.
#include_next <rpcndr.h>
#undef MIDL_INTERFACE
#define MIDL_INTERFACE(x) struct __declspec(uuid(x)) __declspec(novtable)
