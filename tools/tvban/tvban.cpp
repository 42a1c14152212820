// tvban: puts an IPv4 address on the disconnect list by creating its empty
// disconnect file. The server sees the file at the next connection from that
// address.
#include <cstdio>

#include "common/ban_address.h"
#include "platform/fs.h"
#include "tools/ban_command/ban_command.h"

int main(int argc, char** argv) {
  char path[torva::DisconnectPathSize(1024)];
  if (int rc = torva::BanCommandTarget(argc, argv, "tvban", path, sizeof path); rc >= 0) return rc;
  // Creating an existing file truncates it, so banning twice simply succeeds twice.
  FILE* f = OpenRegularFile(path, "w");
  if (f == nullptr) {
    fprintf(stderr, "Cannot added. (%d)\n", static_cast<int>(GetLastError()));
    return 255;
  }
  fclose(f);
  fprintf(stderr, "Added.\n");
  return 0;
}
