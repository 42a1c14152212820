// Program entry of the server: the banner, the system version, then start-up.
#include <cstdio>

#include "common/program_info.h"
#include "platform/system.h"
#include "torvad/tvsmain.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "torvad", "usage: torvad [configuration-file [stop-file]]\n",
    "The Torva Server FTP server. Reads the configuration file (torvad.conf in\n"
    "the current directory when none is given) once, listens, and serves every\n"
    "client until a console signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) or until it\n"
    "can delete the stop file. The server log goes to standard output, the access\n"
    "log to standard error. Exit status 255 when start-up fails, 0 at the end.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  printf("\n");
  printf("===============================\n");
  printf("   Starting the Torva Server   \n");
  printf("===============================\n");
  printf("<Runtime Information>\n");
  OSVERSIONINFOEX info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (GetVersionEx(reinterpret_cast<OSVERSIONINFO*>(&info))) {
    printf(" - Major Version = %d\n", static_cast<int>(info.dwMajorVersion));
    printf(" - Minor Version = %d\n", static_cast<int>(info.dwMinorVersion));
    printf(" - Build Number = %d\n", static_cast<int>(info.dwBuildNumber));
    printf(" - Platform ID = %d\n", static_cast<int>(info.dwPlatformId));
    printf(" - CSD Version = %s\n", info.szCSDVersion);
  } else {
    printf("Windows version is unknown. (%d)\n", static_cast<int>(GetLastError()));
  }
  fflush(stdout);
  // A negative result leaves the process as 255, as the shell sees -1.
  return tvsmain(argc, argv) & 0xFF;
}
