// tvunban: takes an IPv4 address off the disconnect list by deleting its
// disconnect file.
#include <cstdio>

#include "common/ban_address.h"
#include "platform/fs.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    printf("usage:\n> tvunban address\n");
    return 1;
  }
  unsigned char addr[4];
  if (!torva::ParseBanAddress(argv[1], addr)) {
    fprintf(stderr, "Format error.\n");
    return 1;
  }
  char dir[1024];
  if (!torva::ReadDisconnectDir(dir, sizeof dir)) return 255;

  char path[torva::DisconnectPathSize(sizeof dir)];
  torva::DisconnectFilePath(path, sizeof path, dir, addr);  // always fits, see DisconnectPathSize
  // Whatever keeps the file from going (absent, held open, no permission),
  // the address is reported as not listed; the command still succeeds.
  if (DeleteFile(path)) {
    fprintf(stderr, "Deleted.\n");
  } else {
    fprintf(stderr, "Does not exist.\n");
  }
  return 0;
}
