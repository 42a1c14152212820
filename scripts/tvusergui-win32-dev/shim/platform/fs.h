// Stand-in: the file calls are the system's; the layer adds the stream helpers.
#pragma once

#include <cstdio>

#include "platform/wintypes.h"

[[nodiscard]] int IsRegularFile(const char* path);
[[nodiscard]] const SECURITY_ATTRIBUTES* OwnerOnlySecurity();
[[nodiscard]] FILE* OpenRegularFile(const char* path, const char* mode);
[[nodiscard]] FILE* OpenRegularFileEx(const char* path, const char* mode, DWORD share,
                                      const SECURITY_ATTRIBUTES* security);
