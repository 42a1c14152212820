// tvlsuser: lists every user of the user store, passwords masked unless the
// first argument is exactly "-passwd". Other arguments are ignored.
#include <cstdio>
#include <cstring>

#include "common/program_info.h"
#include "common/strutil.h"
#include "platform/registry.h"
#include "tvusers/tvusers.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvlsuser", "usage:\n> tvlsuser [-passwd]\n",
    "Lists every user of the user store: name, password (masked unless the\n"
    "first argument is -passwd), home directory and READ or WRITE. Only reads:\n"
    "the registry is opened for reading. Exit codes: 0, 255 system error.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  bool show_passwd = argc > 1 && strcmp(argv[1], "-passwd") == 0;

  int32_t err = 0;
  TvUserList* list = tvusers_list(&err);
  if (list == nullptr) {
    RegReportMissingStore();
    fprintf(stderr, "System error. (%d)\n", static_cast<int>(err));
    return 255;
  }
  if (list->count == 0) {
    fputs("No entry.\n", stderr);
    tvusers_list_free(list);
    return 0;
  }

  printf("#,UNAME,PASSWD,DIR,ADMIN\n");
  int number = 1;
  for (const TvUserNode* node = list->head; node != nullptr; node = node->next, ++number) {
    const UserRecord& rec = node->rec;
    // The unscrambled field need not hold a terminator; at most 31 bytes are
    // a password.
    char passwd[32];
    torva::CopyTruncated(passwd,
                         show_passwd ? reinterpret_cast<const char*>(rec.passwd) : "????????");
    // Fields are quoted as they stand, without escaping.
    printf("%d,\"%s\",\"%s\",\"%s\",\"%s\"\n", number, rec.name, passwd, rec.usrdir,
           rec.admin != 0 ? "READ" : "WRITE");
  }
  tvusers_list_free(list);
  return 0;
}
