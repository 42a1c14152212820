// tvlaunch: starts the service and waits until it runs. Arguments are ignored.
#include "common/service_command.h"

int main() {
  return torva::RunServiceCommand({SERVICE_STOPPED, "Torva Server is not stopping.\n", true,
                                   "Can not started.\n", SERVICE_RUNNING,
                                   "Torva Server was started.\n"});
}
