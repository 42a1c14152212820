// tvusergui.exe: the user administration window. One copy runs at a time; the
// exit code is 1 after the window ran and 0 when start-up failed.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <stdlib.h>

#include <optional>

#include "common/program_info.h"
#include "tvusergui/UserAdmin.h"
#include "tvusergui/win32/MainWindowWin32.h"

using namespace torva::gui;

namespace {

constexpr torva::ProgramInfo kInfo = {
    "tvusergui", "usage:\n> tvusergui\n",
    "The user administration window: lists every user of the user store and\n"
    "adds, changes and deletes them. Needs the registry value Path and a\n"
    "writable Path\\sys for its instance lock. Exit codes: 1 after the window\n"
    "ran, 0 when start-up failed after its message box.\n",
    8};

// Shows the system error box of a failed start-up step.
int StartFailed(const char* call) {
  ShowSystemError(nullptr, call);
  return kExitStartFailed;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  if (torva::AnswerInfoOption(__argc, __argv, kInfo)) return 0;

  InstanceLock lock;
  if (std::optional<Box> box = StartUp(&lock)) {
    ShowBox(nullptr, *box);
    return kExitStartFailed;
  }

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The folder dialog is a shell object and wants a single-threaded apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

  if (!RegisterMainWindowClass(instance)) return StartFailed("RegisterClass()");
  HWND window = CreateMainWindow(instance);
  if (window == nullptr) return StartFailed("CreateWindowEx()");
  ShowWindow(window, show);
  UpdateWindow(window);
  if (!DrawMenuBar(window)) return StartFailed("DrawMenuBar()");

  // Every message passes the dialog manager first, which gives the controls
  // their Tab order.
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(window, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }

  if (IsWindow(window)) DestroyWindow(window);
  if (SUCCEEDED(com)) CoUninitialize();
  lock.Release();
  return kExitEnded;
}
