// The FLTK view of the user administration window. It builds its widgets from
// the tables of UserAdmin.h, forwards every action there and carries out what
// comes back; it decides nothing itself.
#pragma once

#include <FL/Fl_Double_Window.H>

#include "tvusergui/UserAdmin.h"

class Fl_Choice;
class Fl_Input;
class Fl_Menu_Bar;

namespace torva::gui {

class ReportList;

// Shows a modal message box with an OK button and waits until it is closed.
void ShowBox(const Box& box);

class MainWindow : public Fl_Double_Window {
 public:
  // Height of the menu bar; the client area of the controls starts below it.
  static constexpr int kMenuHeight = 25;

  MainWindow();
  // Builds the controls and fills the list. False when the list could not be
  // filled (its box has been shown): the program is to close.
  bool Create();
  // True once an action asked the program to close.
  bool quit() const { return quit_; }

  void resize(int x, int y, int w, int h) override;

 private:
  static void OnClose(Fl_Widget* w, void* data);
  static void OnMenu(Fl_Widget* w, void* data);
  static void OnButton(Fl_Widget* w, void* data);
  static void OnSelect(void* data);

  void Command(int command);
  bool Fill();
  void Select();
  void ApplyFields();
  void ClearFields();
  void Browse();
  void DeleteSelected();
  void Quit();
  void PlaceList();

  Fl_Menu_Bar* menu_ = nullptr;
  Fl_Input* name_ = nullptr;
  Fl_Input* passwd_ = nullptr;
  Fl_Input* directory_ = nullptr;
  Fl_Choice* authority_ = nullptr;
  ReportList* list_ = nullptr;
  bool quit_ = false;
};

}  // namespace torva::gui
