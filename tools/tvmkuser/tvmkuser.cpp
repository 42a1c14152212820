// tvmkuser: adds one user to the user store.
#include <cstdio>

#include "common/program_info.h"
#include "common/user_options.h"
#include "tvusers/tvusers.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvmkuser",
    "usage:\n"
    "> tvmkuser -u user_name(max:31byte)\n"
    "         -p passwd(max:31byte)\n"
    "         -d directory(max:1023byte)\n"
    "         [ -w | -r ]\n",
    "Adds a user to the user store: name, password and home directory; -w lets\n"
    "the user write (the default), -r makes the user read-only. Exit codes: 0\n"
    "added, 1 usage, 2 the user exists, 255 system error.\n",
    8};

int Usage() {
  fputs(kInfo.usage, stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
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
