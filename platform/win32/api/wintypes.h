// The wintypes names of the platform layer are those of the Windows headers.
#pragma once

#include "platform/api/windows.h"
