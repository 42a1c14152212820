// tvlsban: lists the addresses of the disconnect list, one per disconnect file,
// in the order the directory search returns them (IPv6 addresses in their
// usual text form).
#include <cstdio>
#include <cstring>

#include "common/program_info.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
#include "platform/unique_handle.h"
#include "tools/ban_command/ban_command.h"

namespace {

// Length of a disconnect file name: eight hex digits and ".dca", or 32 for an
// IPv6 address.
constexpr size_t kDisconnectNameLen = 12;
constexpr size_t kDisconnectNameLen6 = 36;

// One hex digit of a disconnect file name. Only what tvban writes is decoded:
// "1"-"9" and upper-case "A"-"F"; everything else, lower case included, is 0.
int HexValue(char c) {
  if (c >= '1' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

int Byte(const char* two) { return HexValue(two[0]) * 16 + HexValue(two[1]); }

constexpr torva::ProgramInfo kInfo = {
    "tvlsban", "usage:\n> tvlsban\n",
    "Lists the banned IPv4 and IPv6 addresses, one per disconnect file in the\n"
    "disconnect directory. Only reads: the registry is opened for reading. Exit codes: 0,\n"
    "2 no disconnect file at all, 255 the registry could not be read.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  char dir[4096];
  if (!torva::ReadDisconnectDir(dir, sizeof dir, true)) return 255;

  char pattern[sizeof dir + 8];
  torva::Format(pattern, sizeof pattern, "%s%c%s", dir, torva::kPathSep,
                torva::kDisconnectPattern);  // always fits: dir is shorter than 4096
  WIN32_FIND_DATA fd;
  UniqueFind search(FindFirstFile(pattern, &fd));
  if (!search) {
    printf("Does not exist.\n");
    return 2;
  }
  int listed = 0;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const size_t len = strlen(fd.cFileName);
    if (len != kDisconnectNameLen && len != kDisconnectNameLen6) continue;
    if (listed == 0) printf("List of disconnects:\n");
    ++listed;
    if (len == kDisconnectNameLen6) {
      unsigned char addr[16];
      for (size_t i = 0; i < 16; ++i)
        addr[i] = static_cast<unsigned char>(Byte(fd.cFileName + 2 * i));
      char text[64];
      printf(" (%d) %s\n", listed, InetNtop(WS_AF_INET6, addr, text, sizeof text));
      continue;
    }
    printf(" (%d) %d.%d.%d.%d\n", listed, Byte(fd.cFileName), Byte(fd.cFileName + 2),
           Byte(fd.cFileName + 4), Byte(fd.cFileName + 6));
  } while (FindNextFile(search.Get(), &fd));
  fputs(listed > 0 ? "Done.\n" : "Does not exist.\n", stdout);
  return 0;
}
