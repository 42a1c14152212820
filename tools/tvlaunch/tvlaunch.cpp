// tvlaunch: starts the service and waits until it runs. Arguments are ignored.
#include "common/program_info.h"
#include "common/service_command.h"

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvlaunch", "usage:\n> tvlaunch\n",
    "Starts the service \"torvad\" (the service host tvwatch, which runs the\n"
    "server) and waits up to 30 seconds until it runs. Writes \"Torva Server was\n"
    "started.\" or why not; the exit code is 255 on every path.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  return torva::RunServiceCommand({SERVICE_STOPPED, "Torva Server is not stopping.\n", true,
                                   "Can not started.\n", SERVICE_RUNNING,
                                   "Torva Server was started.\n"});
}
