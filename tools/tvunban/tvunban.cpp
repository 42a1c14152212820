// tvunban: takes an IPv4 or IPv6 address off the disconnect list by deleting its
// disconnect file.
#include <cstdio>

#include "common/ban_address.h"
#include "common/program_info.h"
#include "platform/fs.h"
#include "tools/ban_command/ban_command.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvunban", "usage:\n> tvunban address\n",
    "Lifts the ban of an IPv4 address a.b.c.d or an IPv6 address by deleting its\n"
    "disconnect file.\n"
    "Exit codes: 0 (also when the address was not banned), 1 usage or format\n"
    "error, 255 the registry failed.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  char path[torva::DisconnectPathSize(1024)];
  if (int rc = torva::BanCommandTarget(argc, argv, kInfo.usage, path, sizeof path); rc >= 0)
    return rc;
  // Whatever keeps the file from going (absent, held open, no permission),
  // the address is reported as not listed; the command still succeeds.
  if (DeleteFile(path)) {
    fprintf(stderr, "Deleted.\n");
  } else {
    fprintf(stderr, "Does not exist.\n");
  }
  return 0;
}
