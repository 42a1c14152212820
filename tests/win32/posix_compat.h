// The few POSIX calls of the unit tests (scratch directories and environment
// variables), for the tests' Windows build. Force-included by the build.
#pragma once

#include <direct.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

inline char* mkdtemp(char* tmpl) {
  if (_mktemp_s(tmpl, strlen(tmpl) + 1) != 0 || _mkdir(tmpl) != 0) return nullptr;
  return tmpl;
}

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}

inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

inline int mkdir(const char* path, int /*mode*/) { return _mkdir(path); }
