// Kernel object behind a HANDLE on this platform.
#pragma once

#include "platform/wintypes.h"

struct HandleObject {
  virtual ~HandleObject() = default;
  // Releases the object and frees it (or drops the caller's reference to it);
  // called once by CloseHandle.
  virtual BOOL Close() = 0;
};
