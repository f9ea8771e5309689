// Placeholder of the stand-in until its container model lands.
#include "kxctl.h"

extern "C" int kxctl_open(void) { return 0; }
