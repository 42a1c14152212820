// tvhalt: stops the service and waits until it has stopped. Arguments are ignored.
#include "common/program_info.h"
#include "common/service_command.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvhalt", "usage:\n> tvhalt\n",
    "Stops the service \"torvad\" and waits up to 30 seconds until it has stopped.\n"
    "Writes \"Torva Server was stopped.\" or why not; the exit code is 255 on every\n"
    "path.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  return torva::RunServiceCommand({SERVICE_RUNNING, "Torva Server is not started.\n", false,
                                   "Can not stopped.\n", SERVICE_STOPPED,
                                   "Torva Server was stopped.\n"});
}
