// tvrmuser: deletes one user from the user store.
#include <cstdio>

#include "common/program_info.h"
#include "common/user_options.h"
#include "tvusers/tvusers.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvrmuser",
    "usage:\n"
    "> tvrmuser -u user_name(max:31byte)\n",
    "Deletes a user from the user store. Exit codes: 0 deleted, 1 usage, 2 no\n"
    "such user, 255 system error.\n",
    8};

int Usage() {
  fputs(kInfo.usage, stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  torva::UserOptions opt;
  if (!torva::ParseUserOptions(argc, argv, "u", &opt)) return Usage();
  if (!opt.has_name) return Usage();

  int32_t err = 0;
  if (tvusers_del(&err, opt.name) == 0) return 0;
  if (err == TVUSERS_ERR_NO_SUCH_USER) {
    fputs("The user doesn't exist.\n", stderr);
    return 2;
  }
  fprintf(stderr, "System error. (%d)\n", static_cast<int>(err));
  return 255;
}
