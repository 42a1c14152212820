// tvusergui: the user administration window. One copy runs at a time; the
// exit code is 1 after the window ran and 0 when start-up failed.
#include <FL/Fl.H>
#include <FL/x.H>

#include <cstdio>

#include "common/program_info.h"
#include "tvusergui/MainWindow.h"
#include "tvusergui/UserAdmin.h"

using namespace torva::gui;

namespace {

// Without a display no window and no message box can be shown.
constexpr int kExitNoDisplay = 2;

constexpr torva::ProgramInfo kInfo = {
    "tvusergui", "usage:\n> tvusergui\n",
    "The user administration window: lists every user of the user store and\n"
    "adds, changes and deletes them. Needs an X display, the registry value\n"
    "Path and a writable Path/sys for its instance lock. Exit codes: 1 after\n"
    "the window ran, 0 when start-up failed after its message box, 2 without a\n"
    "display.\n",
    8};

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    const char* name = XDisplayName(nullptr);
    fprintf(stderr, "tvusergui: cannot open the X display %s%s%s; no window can be shown.\n",
            *name != '\0' ? "\"" : "", *name != '\0' ? name : "(DISPLAY is not set)",
            *name != '\0' ? "\"" : "");
    return kExitNoDisplay;
  }
  fl_open_display(display);
  // Controls of 24 pixels take the size of text a dialog uses, on the grey of
  // the classic Windows scheme (the window's background colour).
  FL_NORMAL_SIZE = 12;
  Fl::background(212, 208, 200);

  InstanceLock lock;
  if (std::optional<Box> box = StartUp(&lock)) {
    ShowBox(*box);
    return kExitStartFailed;
  }
  {
    MainWindow window;
    // A list that cannot be filled closes the program before the window shows.
    if (window.Create()) {
      window.show();
      Fl::run();
    }
  }
  lock.Release();
  return kExitEnded;
}
