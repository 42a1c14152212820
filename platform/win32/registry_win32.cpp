// The registry is the system's own; only the layer's notes about its store
// are left to say here.
#include "platform/registry.h"

const char* RegStorePath() { return "HKEY_LOCAL_MACHINE"; }

// The system registry always exists.
bool RegReportMissingStore() { return false; }
