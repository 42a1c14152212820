// tvhalt: stops the service and waits until it has stopped. Arguments are ignored.
#include "common/service_command.h"

int main() {
  return torva::RunServiceCommand({SERVICE_RUNNING, "Torva Server is not started.\n", false,
                                   "Can not stopped.\n", SERVICE_STOPPED,
                                   "Torva Server was stopped.\n"});
}
