// Reading back what a test wrote into a temporary stream.
#pragma once

#include <cstdio>
#include <string>

// Everything in the stream from its start; it is flushed first.
inline std::string StreamContents(FILE* f) {
  fflush(f);
  rewind(f);
  std::string out;
  char buf[256];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  return out;
}
