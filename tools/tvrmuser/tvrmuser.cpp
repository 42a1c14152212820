// tvrmuser: deletes one user from the user store.
#include <cstdio>

#include "common/user_options.h"
#include "tvusers/tvusers.h"

namespace {

int Usage() {
  fputs(
      "usage:\n"
      "> tvrmuser -u user_name(max:31byte)\n",
      stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
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
