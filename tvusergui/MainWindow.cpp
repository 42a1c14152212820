#include "tvusergui/MainWindow.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/fs.h"
#include "tvusergui/ReportList.h"

namespace torva::gui {

namespace {

// The closed drop-down is as high as an edit; the table's height includes its open list.
constexpr int kDropDownHeight = 24;

// FLTK reads '@' in a label as the start of a symbol; message texts mean it literally.
std::string LiteralLabel(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '@') out += '@';
    out += c;
  }
  return out;
}

void* AsData(int value) { return reinterpret_cast<void*>(static_cast<intptr_t>(value)); }
int FromData(void* data) { return static_cast<int>(reinterpret_cast<intptr_t>(data)); }

void HideWindow(Fl_Widget* w, void*) { w->window()->hide(); }

}  // namespace

void ShowBox(const Box& box) {
  const std::string text = LiteralLabel(box.text);
  fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
  int tw = 0, th = 0;
  fl_measure(text.c_str(), tw, th, 0);
  const int text_h = std::max(th, 40);
  const int w = std::max(tw + 90, 240);
  const int h = text_h + 70;

  Fl_Double_Window dlg(w, h, box.caption.c_str());
  const char* icon_text = box.icon == BoxIcon::kInformation ? "i"
                          : box.icon == BoxIcon::kWarning   ? "!"
                                                            : "X";
  Fl_Box icon(15, 15, 40, 40, icon_text);
  icon.box(FL_OVAL_BOX);
  icon.color(box.icon == BoxIcon::kInformation ? FL_BLUE
             : box.icon == BoxIcon::kWarning   ? FL_YELLOW
                                               : FL_RED);
  icon.labelcolor(box.icon == BoxIcon::kWarning ? FL_BLACK : FL_WHITE);
  icon.labelfont(FL_HELVETICA_BOLD);
  icon.labelsize(24);
  Fl_Box message(70, 15, w - 80, text_h, text.c_str());
  message.align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  Fl_Return_Button ok((w - 88) / 2, h - 42, 88, 28, "OK");
  ok.callback(HideWindow);
  dlg.end();
  dlg.set_modal();
  dlg.position((Fl::w() - w) / 2, (Fl::h() - h) / 2);
  dlg.show();
  while (dlg.shown()) Fl::wait();
}

MainWindow::MainWindow() : Fl_Double_Window(kWindowWidth, kWindowHeight, kWindowTitle) {
  end();
  callback(OnClose, this);
}

bool MainWindow::Create() {
  begin();
  menu_ = new Fl_Menu_Bar(0, 0, w(), kMenuHeight);
  menu_->box(FL_FLAT_BOX);
  menu_->clear_visible_focus();
  for (const MenuItem& m : kMenu) {
    std::string path = std::string(m.menu) + "/" + m.item;
    menu_->add(path.c_str(), 0, OnMenu, AsData(m.command));
  }

  for (const Control& c : kControls) {
    const int y = c.y + kMenuHeight;
    switch (c.kind) {
      case ControlKind::kLabel: {
        auto* label = new Fl_Box(c.x, y, c.w, c.h, c.text);
        label->align(FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
        break;
      }
      case ControlKind::kEdit:
      case ControlKind::kPassword: {
        Fl_Input* in = c.kind == ControlKind::kPassword ? new Fl_Secret_Input(c.x, y, c.w, c.h)
                                                        : new Fl_Input(c.x, y, c.w, c.h);
        in->box(FL_DOWN_BOX);
        if (c.id == kIdName) name_ = in;
        if (c.id == kIdPassword) passwd_ = in;
        if (c.id == kIdDirectory) directory_ = in;
        break;
      }
      case ControlKind::kButton: {
        auto* b = new Fl_Button(c.x, y, c.w, c.h, c.text);
        b->callback(OnButton, AsData(c.id));
        break;
      }
      case ControlKind::kDropDown:
        authority_ = new Fl_Choice(c.x, y, c.w, std::min(c.h, kDropDownHeight));
        for (const char* item : kAuthorityItems) authority_->add(item);
        authority_->value(0);
        break;
      case ControlKind::kList:
        list_ = new ReportList(c.x, y, w(), h() - kMenuHeight - c.y);
        list_->OnSelectionChange(OnSelect, this);
        break;
    }
  }
  end();
  // The controls keep their places; resize() moves the menu bar and the list.
  resizable(nullptr);
  // No smaller than the controls above the list, which keep their places.
  size_range(416, kMenuHeight + ListPlace(0, 0).y);
  PlaceList();
  return Fill();
}

void MainWindow::resize(int x, int y, int w, int h) {
  Fl_Double_Window::resize(x, y, w, h);
  if (menu_ != nullptr) menu_->resize(0, 0, w, kMenuHeight);
  PlaceList();
}

void MainWindow::PlaceList() {
  if (list_ == nullptr) return;
  Rect r = ListPlace(w(), h() - kMenuHeight);
  list_->resize(r.x, r.y + kMenuHeight, r.w, r.h);
}

void MainWindow::OnClose(Fl_Widget*, void* data) {
  // Escape closes an FLTK window; this window, like a dialog's owner, ignores it.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  static_cast<MainWindow*>(data)->Quit();
}

void MainWindow::OnMenu(Fl_Widget* w, void* data) {
  static_cast<MainWindow*>(w->window())->Command(FromData(data));
}

void MainWindow::OnButton(Fl_Widget* w, void* data) {
  auto* self = static_cast<MainWindow*>(w->window());
  switch (FromData(data)) {
    case kIdApply: self->ApplyFields(); break;
    case kIdClear: self->ClearFields(); break;
    case kIdBrowse: self->Browse(); break;
    default: break;
  }
}

void MainWindow::OnSelect(void* data) { static_cast<MainWindow*>(data)->Select(); }

void MainWindow::Command(int command) {
  switch (command) {
    case kCmdExit: Quit(); break;
    case kCmdDelete: DeleteSelected(); break;
    case kCmdRefresh:
      if (!Fill()) Quit();
      break;
    case kCmdInformation: ShowBox(InformationBox()); break;
    default: break;
  }
}

bool MainWindow::Fill() {
  list_->RemoveAll();
  list_->AddColumns(kColumnTitles, ColumnWidths(w()));
  ListFill fill = FillList();
  if (fill.box) {
    ShowBox(*fill.box);
    return false;
  }
  for (const Row& row : fill.rows) list_->Append({row.name, row.directory, row.authority});
  return true;
}

void MainWindow::Select() {
  int r = list_->FirstSelected();
  if (r < 0) return;
  Selection sel = SelectRow(list_->Text(r, 0).c_str());
  if (sel.box) ShowBox(*sel.box);
  name_->value(sel.fields.name);
  passwd_->value(sel.fields.passwd);
  directory_->value(sel.fields.directory);
  authority_->value(sel.fields.authority);
}

void MainWindow::ApplyFields() {
  Outcome out = Apply(name_->value(), passwd_->value(), directory_->value(), authority_->value());
  if (out.box) ShowBox(*out.box);
  switch (out.change) {
    case RowChange::kAppend:
      list_->Append({out.row.name, out.row.directory, out.row.authority});
      list_->ScrollDown(kAppendScroll);
      break;
    case RowChange::kUpdate: {
      int r = list_->Find(out.row.name);
      if (r >= 0) {
        list_->SetCell(r, 1, out.row.directory);
        list_->SetCell(r, 2, out.row.authority);
      }
      break;
    }
    default: break;
  }
}

void MainWindow::ClearFields() {
  name_->value("");
  passwd_->value("");
  directory_->value("");
  authority_->value(0);
  list_->SelectNone();
}

void MainWindow::Browse() {
  // The chooser opens in the directory of the field when it names one.
  const char* field = directory_->value();
  DWORD attr = field[0] != '\0' ? GetFileAttributes(field) : INVALID_FILE_ATTRIBUTES;
  bool is_dir = attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
  std::string start = is_dir ? field : ".";
  if (start.back() != '/') start.push_back('/');
  Fl_File_Chooser chooser(start.c_str(), "*", Fl_File_Chooser::DIRECTORY, kBrowseTitle);
  chooser.preview(0);
  chooser.show();
  while (chooser.shown()) Fl::wait();
  if (chooser.count() == 0 || chooser.value() == nullptr) return;
  // The chooser may end a directory with '/'; a path in the field does not.
  std::string path = chooser.value();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  directory_->value(path.c_str());
}

void MainWindow::DeleteSelected() {
  int r = list_->FirstSelected();
  if (r < 0) {
    ShowBox(NothingSelectedBox());
    return;
  }
  for (; r >= 0; r = list_->FirstSelected()) {
    Outcome out = DeleteRow(list_->Text(r, 0).c_str());
    if (out.box) ShowBox(*out.box);
    if (out.change == RowChange::kRemove)
      list_->Remove(r);
    else
      list_->select_row(r, 0);
  }
}

void MainWindow::Quit() {
  quit_ = true;
  hide();
}

}  // namespace torva::gui
