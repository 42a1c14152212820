// Stand-in: FormatMessage comes from the system.
#pragma once

#include "platform/wintypes.h"
