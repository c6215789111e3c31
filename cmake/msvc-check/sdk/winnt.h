// As the Windows SDK's winnt.h defines them for MSVC: mingw-w64's leaves them empty for every
// compiler, so that no interface would carry its id for __uuidof.
#define DECLSPEC_UUID(x) __declspec(uuid(x))
#define DECLSPEC_NOVTABLE __declspec(novtable)
#include_next <winnt.h>
