// Command line grammar shared by tvmkuser, tvchuser and tvrmuser.
//
// Every option is one argument of exactly two characters, '-' and a lower-case
// letter. A value-taking option takes the next argument as it stands, whatever
// it begins with. Each option may be given once, and -w and -r exclude each
// other. Anything else is a usage error; the caller prints its usage text.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"

namespace torva {

// The buffers that the add and modify commands hand to the user store, and
// which options filled them. Buffers start zeroed: the store scrambles the
// whole password buffer, so its bytes after the password must be zero.
struct UserOptions {
  char name[32] = {};
  char passwd[32] = {};
  char usrdir[1024] = {};
  int32_t admin = 0;  // -w gives 0 (may write), -r gives 1 (read-only)
  int32_t vfsize = -1;
  int32_t vinum = -1;
  int32_t maxfs = 2147483647;
  bool has_name = false;
  bool has_passwd = false;
  bool has_usrdir = false;
  bool has_admin = false;  // -w or -r
  bool has_vfsize = false;
  bool has_vinum = false;
  bool has_maxfs = false;
};

// Parses argv[1..argc-1]. `allowed` lists the option letters that the command
// accepts, from "updwrsim": -u name, -p password, -d home directory, -w, -r,
// and -s, -i, -m, each with a number that must not be negative. Returns false
// on any usage error; `out` is then only partly filled.
inline bool ParseUserOptions(int argc, const char* const* argv, const char* allowed,
                             UserOptions* out) {
  *out = UserOptions{};
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] < 'a' || arg[1] > 'z' || arg[2] != '\0') return false;
    char letter = arg[1];
    if (strchr(allowed, letter) == nullptr) return false;

    if (letter == 'w' || letter == 'r') {
      if (out->has_admin) return false;  // both, or either twice
      out->has_admin = true;
      out->admin = letter == 'r' ? 1 : 0;
      continue;
    }

    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    size_t len = strlen(value);
    switch (letter) {
      case 'u':
        if (out->has_name || len > kMaxUserName) return false;
        out->has_name = true;
        CopyTruncated(out->name, value);
        break;
      case 'p':
        if (out->has_passwd || len > kMaxPassword) return false;
        out->has_passwd = true;
        CopyTruncated(out->passwd, value);
        break;
      case 'd':
        if (out->has_usrdir || len > kMaxUserDir) return false;
        out->has_usrdir = true;
        CopyTruncated(out->usrdir, value);
        break;
      case 's':
      case 'i':
      case 'm': {
        bool& seen = letter == 's'   ? out->has_vfsize
                     : letter == 'i' ? out->has_vinum
                                     : out->has_maxfs;
        int32_t& field = letter == 's' ? out->vfsize : letter == 'i' ? out->vinum : out->maxfs;
        int n = AtoiLike(value);
        if (seen || n < 0) return false;
        seen = true;
        field = n;
        break;
      }
      default: return false;  // a letter in `allowed` that no option has
    }
  }
  return true;
}

}  // namespace torva
