// tvmkuser: adds one user to the user store.
#include <cstdio>

#include "common/user_options.h"
#include "tvusers/tvusers.h"

namespace {

int Usage() {
  fputs(
      "usage:\n"
      "> tvmkuser -u user_name(max:31byte)\n"
      "         -p passwd(max:31byte)\n"
      "         -d directory(max:1023byte)\n"
      "         [ -w | -r ]\n",
      stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // -s, -i and -m set the three stored but unused numbers; they stay out of
  // the usage text.
  torva::UserOptions opt;
  if (!torva::ParseUserOptions(argc, argv, "updwrsim", &opt)) return Usage();
  if (!opt.has_name || !opt.has_passwd || !opt.has_usrdir) return Usage();

  int32_t err = 0;
  if (tvusers_add(&err, opt.name, opt.passwd, opt.usrdir, opt.admin, opt.vfsize, opt.vinum,
                  opt.maxfs) == 0) {
    return 0;
  }
  if (err == TVUSERS_ERR_USER_EXISTS) {
    fputs("The user has already registered.\n", stderr);
    return 2;
  }
  fprintf(stderr, "System error. (%d)\n", static_cast<int>(err));
  return 255;
}
