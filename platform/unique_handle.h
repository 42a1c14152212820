// Owners of the platform's handles: whatever a function opens is released by
// the owner's destructor on every path out, so no failure path keeps a list of
// what to close.
//
//   UniqueRegKey key;
//   if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, key.Receive()) != 0) return;
//   ... key.Get() ...                                    // closed on return
//
// Each kind is a Traits struct: the handle type, its invalid value, whether a
// value is valid and how to close it. TLS objects belong to the TLS unit and
// use std::unique_ptr with a deleter there.
#pragma once

#include <cstdio>
#include <utility>

#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/wintypes.h"

template <class Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  [[nodiscard]] Handle Get() const { return h_; }
  [[nodiscard]] bool Valid() const { return Traits::Valid(h_); }
  explicit operator bool() const { return Valid(); }

  // Gives the handle up without closing it.
  [[nodiscard]] Handle Release() { return std::exchange(h_, Traits::Invalid()); }

  // Closes the owned handle (if any) and takes `h`.
  void Reset(Handle h = Traits::Invalid()) {
    Handle old = std::exchange(h_, h);
    if (Traits::Valid(old)) Traits::Close(old);
  }

  // For calls that return their handle through an out-parameter: closes what
  // is owned and hands out the slot to fill.
  [[nodiscard]] Handle* Receive() {
    Reset();
    return &h_;
  }

 private:
  Handle h_ = Traits::Invalid();
};

// Threads and files: null and INVALID_HANDLE_VALUE both mean "none", as the
// calls that make them fail with one or the other.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseHandle(h); }
};

// Directory searches (FindFirstFile), ended with FindClose.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool Valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { FindClose(h); }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { RegCloseKey(h); }
};

struct SocketTraits {
  using Handle = SOCKET;
  static Handle Invalid() { return INVALID_SOCKET; }
  static bool Valid(Handle h) { return h != INVALID_SOCKET; }
  static void Close(Handle h) { SockClose(h); }
};

struct FileStreamTraits {
  using Handle = FILE*;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { fclose(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueSocket = UniqueHandle<SocketTraits>;
using UniqueFile = UniqueHandle<FileStreamTraits>;

// Closes a stream now and tells whether its buffered data reached the file:
// the one place where closing a file can fail in a way that matters.
[[nodiscard]] inline bool CloseFile(UniqueFile& file) {
  FILE* f = file.Release();
  return f != nullptr && fclose(f) == 0;
}
