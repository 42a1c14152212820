// tvban: puts an IPv4 address on the disconnect list by creating its empty
// disconnect file. The server sees the file at the next connection from that
// address.
#include <cstdio>

#include "common/ban_address.h"
#include "platform/fs.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    printf("usage:\n> tvban address\n");
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
