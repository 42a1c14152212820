// Program entry of the server: the banner, the system version, then start-up.
#include <cstdio>

#include "platform/system.h"
#include "torvad/tvsmain.h"

int main(int argc, char** argv) {
  printf("\n");
  printf("===============================\n");
  printf("   Starting the Torva Server   \n");
  printf("===============================\n");
  printf("<Runtime Information>\n");
  OSVERSIONINFOEX info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (GetVersionEx(&info)) {
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
