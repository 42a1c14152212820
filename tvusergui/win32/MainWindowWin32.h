// The native Windows view of the user administration window: the window class
// "MAINWND" with the menu "MAINMENU", its controls built from the tables of
// UserAdmin.h, and a window procedure that forwards every action there and
// carries out what comes back. It decides nothing itself.
#pragma once

#include <windows.h>

#include "tvusergui/UserAdmin.h"

namespace torva::gui {

inline constexpr char kWindowClass[] = "MAINWND";
inline constexpr char kMenuName[] = "MAINMENU";

// Shows a message box with an OK button, owned by `owner` (null before the
// main window exists), and waits until it is closed.
void ShowBox(HWND owner, const Box& box);

// Shows the system error box for the last error of the platform call `call`.
void ShowSystemError(HWND owner, const char* call);

// Registers the window class; false with the last error set.
bool RegisterMainWindowClass(HINSTANCE instance);

// Creates the main window with its menu, controls and filled list; null with
// the last error set. A window whose controls or list could not be made has
// shown its box and posted the quit message.
HWND CreateMainWindow(HINSTANCE instance);

}  // namespace torva::gui
