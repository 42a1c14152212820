// tvunban: takes an IPv4 address off the disconnect list by deleting its
// disconnect file.
#include <cstdio>

#include "common/ban_address.h"
#include "platform/fs.h"
#include "tools/ban_command/ban_command.h"

int main(int argc, char** argv) {
  char path[torva::DisconnectPathSize(1024)];
  if (int rc = torva::BanCommandTarget(argc, argv, "tvunban", path, sizeof path); rc >= 0)
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
