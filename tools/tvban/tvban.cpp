// tvban: puts an IPv4 or IPv6 address on the disconnect list by creating its empty
// disconnect file. The server sees the file at the next connection from that
// address.
#include <cstdio>

#include "common/ban_address.h"
#include "common/program_info.h"
#include "platform/fs.h"
#include "tools/ban_command/ban_command.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvban", "usage:\n> tvban address\n",
    "Bans an IPv4 address a.b.c.d or an IPv6 address: creates its empty\n"
    "disconnect file in the disconnect directory (DisconnectDir), and the server\n"
    "closes every further connection from it without a word. Exit codes: 0 added, 1 usage or "
    "format\n"
    "error, 255 the registry or the file failed.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  char path[torva::DisconnectPathSize(1024)];
  if (int rc = torva::BanCommandTarget(argc, argv, kInfo.usage, path, sizeof path); rc >= 0)
    return rc;
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
