// Kernel object behind a HANDLE on this platform.
#pragma once

#include "platform/wintypes.h"

struct HandleObject {
  virtual ~HandleObject() = default;
  // Releases the object and frees it (or drops the caller's reference to it);
  // called once by CloseHandle.
  virtual BOOL Close() = 0;
  // The descriptor behind the object (files, pipes), or -1. Every descriptor
  // of the layer is close-on-exec; a child gets only the standard handles
  // that CreateProcess passes.
  virtual int Fd() const { return -1; }
  // Whether a waiting call may take the object (events and threads).
  virtual bool Waitable() const { return false; }
  // A second handle to the same object (DuplicateHandle), or null with the
  // last error set.
  virtual HandleObject* Duplicate() {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Set from SECURITY_ATTRIBUTES.bInheritHandle or DuplicateHandle.
  bool inheritable = false;
};
