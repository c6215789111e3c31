// Compiles the comparison of widl's header with ours into every Windows build: a change to one
// interface that is not made to the other stops the build.
#include "com/GeneratedAgentHeader.h"
