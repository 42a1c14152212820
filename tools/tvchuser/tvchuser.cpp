// tvchuser: changes the password, home directory or authority of one user.
#include <cstdio>

#include "common/program_info.h"
#include "common/user_options.h"
#include "tvusers/tvusers.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvchuser",
    "usage:\n"
    "> tvchuser -u user_name(max:31byte)\n"
    "         [-p passwd(max:31byte)]\n"
    "         [-d directory(max:1023byte)]\n"
    "         [ -w | -r ]\n",
    "Changes the password, the home directory or the write permission of a user;\n"
    "what is not given keeps its stored value. Exit codes: 0 changed, 1 usage,\n"
    "2 no such user, 255 system error.\n",
    8};

int Usage() {
  fputs(kInfo.usage, stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  torva::UserOptions opt;
  if (!torva::ParseUserOptions(argc, argv, "updwr", &opt)) return Usage();
  if (!opt.has_name) return Usage();

  // What was not given keeps its stored value; the three numbers always do.
  int32_t err = 0;
  if (tvusers_mod(&err, opt.name, opt.has_passwd ? opt.passwd : nullptr,
                  opt.has_usrdir ? opt.usrdir : nullptr, opt.has_admin ? &opt.admin : nullptr,
                  nullptr, nullptr, nullptr) == 0) {
    return 0;
  }
  if (err == TVUSERS_ERR_NO_SUCH_USER) {
    fputs("The user is not exist.\n", stderr);
    return 2;
  }
  // A rewrite that failed half way can leave the user file unreadable, and a
  // user that cannot be read no longer exists for the server.
  fprintf(stderr, "System error. (%d)\n", static_cast<int>(err));
  fputs("Specified user was deleted.\n", stderr);
  return 255;
}
