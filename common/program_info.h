// The two options that every program of Torva Server answers before it looks
// at anything else: --help writes the usage text and a short description on
// standard output, --version the program's name and version. The program then
// ends with exit code 0 and does nothing else: no registry, no files, no
// network.
#pragma once

#include <cstdio>
#include <cstring>

#ifndef TORVA_VERSION
#error "the build defines TORVA_VERSION"
#endif

namespace torva {

inline constexpr const char kVersion[] = TORVA_VERSION;

struct ProgramInfo {
  const char* name;     // "tvmkuser"
  const char* usage;    // the usage text, as the program prints it on errors
  const char* summary;  // what the program does, one paragraph ending in '\n'
  int man_section;      // of its manual page
};

// True when argv[1] is exactly "--help" or "--version" and the answer has been
// written; the caller then returns 0 at once. Any other argument (and options
// given later on the line, which may be values of other options) is left to
// the program.
inline bool AnswerInfoOption(int argc, char** argv, const ProgramInfo& info) {
  if (argc < 2 || argv[1] == nullptr) return false;
  if (strcmp(argv[1], "--help") == 0) {
    printf("%s\n%sSee %s(%d).\n", info.usage, info.summary, info.name, info.man_section);
  } else if (strcmp(argv[1], "--version") == 0) {
    printf("%s (Torva Server) %s\n", info.name, kVersion);
  } else {
    return false;
  }
  fflush(stdout);
  return true;
}

}  // namespace torva
