#include "tvusergui/win32/MainWindowWin32.h"

#include <commctrl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "tvusergui/win32/resource.h"

namespace torva::gui {

// The resource script cannot read C++, so its numbers are written twice; these
// keep the two in step.
static_assert(IDM_INFORMATION == kCmdInformation && IDM_EXIT == kCmdExit &&
              IDM_DELETE == kCmdDelete && IDM_REFRESH == kCmdRefresh);
static_assert(IDC_NAME_LABEL == kIdNameLabel && IDC_PASSWORD_LABEL == kIdPasswordLabel &&
              IDC_DIRECTORY_LABEL == kIdDirectoryLabel && IDC_AUTHORITY_LABEL == kIdAuthorityLabel);
static_assert(IDC_NAME == kIdName && IDC_PASSWORD == kIdPassword && IDC_DIRECTORY == kIdDirectory &&
              IDC_BROWSE == kIdBrowse && IDC_AUTHORITY == kIdAuthority && IDC_APPLY == kIdApply &&
              IDC_CLEAR == kIdClear && IDC_LIST == kIdList);

namespace {

// Background of the window: the system colour of this index. A class brush
// names a system colour as its index plus one.
constexpr int kBackgroundColour = 19;

// The longest first column that a selected row and a deleted row pass on.
constexpr int kSelectNameChars = 31;
constexpr int kDeleteNameChars = 79;

struct ControlClass {
  const char* name;
  DWORD style;
  DWORD ex_style;
};

ControlClass ClassOf(ControlKind kind) {
  constexpr DWORD kEditStyle = ES_AUTOHSCROLL | WS_TABSTOP;
  switch (kind) {
    case ControlKind::kLabel: return {WC_STATICA, SS_RIGHT | SS_CENTERIMAGE, 0};
    case ControlKind::kEdit: return {WC_EDITA, kEditStyle, WS_EX_CLIENTEDGE};
    case ControlKind::kPassword: return {WC_EDITA, kEditStyle | ES_PASSWORD, WS_EX_CLIENTEDGE};
    case ControlKind::kButton: return {WC_BUTTONA, BS_PUSHBUTTON | WS_TABSTOP, WS_EX_CLIENTEDGE};
    case ControlKind::kDropDown:
      return {WC_COMBOBOXA, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0};
    case ControlKind::kList:
      // No edge of its own: the window's sunken client edge frames it, and the
      // columns, sized to the client width, then fit without scrolling.
      return {WC_LISTVIEWA, LVS_REPORT | LVS_SHOWSELALWAYS | WS_TABSTOP, 0};
  }
  return {WC_STATICA, 0, 0};
}

UINT IconStyle(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::kInformation: return MB_ICONINFORMATION;
    case BoxIcon::kWarning: return MB_ICONWARNING;
    case BoxIcon::kError: return MB_ICONERROR;
  }
  return 0;
}

// The control `id` of the main window, or null after the system error box.
HWND DlgItem(HWND hwnd, int id) {
  HWND control = GetDlgItem(hwnd, id);
  if (control == nullptr) ShowSystemError(hwnd, "GetDlgItem");
  return control;
}

std::string WindowText(HWND control) {
  int length = GetWindowTextLengthA(control);
  if (length <= 0) return std::string();
  std::vector<char> text(static_cast<size_t>(length) + 1);
  int got = GetWindowTextA(control, text.data(), length + 1);
  return std::string(text.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

// The text of a list cell, cut to `max_chars` characters.
std::string CellText(HWND list, int row, int column, int max_chars) {
  std::vector<char> text(static_cast<size_t>(max_chars) + 1);
  ListView_GetItemText(list, row, column, text.data(), max_chars + 1);
  return std::string(text.data());
}

int FirstSelected(HWND list) { return ListView_GetNextItem(list, -1, LVNI_SELECTED); }

void AppendRow(HWND list, const Row& row) {
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = ListView_GetItemCount(list);
  item.pszText = const_cast<char*>(row.name.c_str());
  int index = ListView_InsertItem(list, &item);
  if (index < 0) return;
  ListView_SetItemText(list, index, 1, const_cast<char*>(row.directory.c_str()));
  ListView_SetItemText(list, index, 2, const_cast<char*>(row.authority));
}

// The row whose first column is exactly `name`, or -1.
int FindRow(HWND list, const std::string& name) {
  const int count = ListView_GetItemCount(list);
  for (int r = 0; r < count; ++r) {
    if (CellText(list, r, 0, static_cast<int>(name.size()) + 1) == name) return r;
  }
  return -1;
}

bool CreateControls(HWND hwnd, HINSTANCE instance) {
  RECT client{};
  GetClientRect(hwnd, &client);
  const HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  for (const Control& c : kControls) {
    const ControlClass cls = ClassOf(c.kind);
    int w = c.w;
    int h = c.h;
    if (c.kind == ControlKind::kList) {
      w = client.right;
      h = client.bottom - c.y;
    }
    HWND control = CreateWindowExA(
        cls.ex_style, cls.name, c.text, WS_CHILD | WS_VISIBLE | cls.style, c.x, c.y, w, h, hwnd,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
    if (control == nullptr) {
      ShowSystemError(hwnd, "CreateWindowEx");
      return false;
    }
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (c.kind == ControlKind::kDropDown) {
      for (const char* item : kAuthorityItems)
        SendMessageA(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
      SendMessageA(control, CB_SETCURSEL, 0, 0);
    }
    if (c.kind == ControlKind::kList)
      ListView_SetExtendedListViewStyle(control, LVS_EX_FULLROWSELECT);
  }
  return true;
}

// The columns take their widths from the list's width when they are added,
// which is the client width: the list spans it from its creation on.
bool AddColumns(HWND hwnd, HWND list) {
  RECT place{};
  if (!GetWindowRect(list, &place)) {
    ShowSystemError(hwnd, "GetWindowRect");
    return false;
  }
  const std::array<int, 3> widths = ColumnWidths(place.right - place.left);
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNA column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = widths[i];
    column.pszText = const_cast<char*>(kColumnTitles[i]);
    column.iSubItem = i;
    if (ListView_InsertColumn(list, i, &column) < 0) {
      ShowSystemError(hwnd, "ListView_InsertColumn");
      return false;
    }
  }
  return true;
}

bool Fill(HWND hwnd) {
  HWND list = DlgItem(hwnd, kIdList);
  if (list == nullptr) return false;
  ListView_DeleteAllItems(list);
  if (Header_GetItemCount(ListView_GetHeader(list)) == 0 && !AddColumns(hwnd, list)) return false;
  ListFill fill = FillList();
  if (fill.box) {
    ShowBox(hwnd, *fill.box);
    return false;
  }
  for (const Row& row : fill.rows) AppendRow(list, row);
  return true;
}

bool PlaceList(HWND hwnd, int client_width, int client_height) {
  HWND list = DlgItem(hwnd, kIdList);
  if (list == nullptr) return false;
  const Rect r = ListPlace(client_width, client_height);
  if (!MoveWindow(list, r.x, r.y, r.w, r.h, TRUE)) {
    ShowSystemError(hwnd, "MoveWindow");
    return false;
  }
  return true;
}

bool ShowSelection(HWND hwnd) {
  HWND list = DlgItem(hwnd, kIdList);
  HWND name = DlgItem(hwnd, kIdName);
  HWND passwd = DlgItem(hwnd, kIdPassword);
  HWND directory = DlgItem(hwnd, kIdDirectory);
  HWND authority = DlgItem(hwnd, kIdAuthority);
  if (!list || !name || !passwd || !directory || !authority) return false;
  const int r = FirstSelected(list);
  if (r < 0) return true;
  const Selection sel = SelectRow(CellText(list, r, 0, kSelectNameChars).c_str());
  if (sel.box) ShowBox(hwnd, *sel.box);
  SetWindowTextA(name, sel.fields.name);
  SetWindowTextA(passwd, sel.fields.passwd);
  SetWindowTextA(directory, sel.fields.directory);
  SendMessageA(authority, CB_SETCURSEL, static_cast<WPARAM>(sel.fields.authority), 0);
  return true;
}

bool ApplyFields(HWND hwnd) {
  HWND list = DlgItem(hwnd, kIdList);
  HWND name = DlgItem(hwnd, kIdName);
  HWND passwd = DlgItem(hwnd, kIdPassword);
  HWND directory = DlgItem(hwnd, kIdDirectory);
  HWND authority = DlgItem(hwnd, kIdAuthority);
  if (!list || !name || !passwd || !directory || !authority) return false;
  const LRESULT index = SendMessageA(authority, CB_GETCURSEL, 0, 0);
  const Outcome out = Apply(WindowText(name).c_str(), WindowText(passwd).c_str(),
                            WindowText(directory).c_str(), index > 0 ? static_cast<int>(index) : 0);
  if (out.box) ShowBox(hwnd, *out.box);
  switch (out.change) {
    case RowChange::kAppend:
      AppendRow(list, out.row);
      ListView_Scroll(list, 0, kAppendScroll);
      break;
    case RowChange::kUpdate: {
      const int r = FindRow(list, out.row.name);
      if (r >= 0) {
        ListView_SetItemText(list, r, 1, const_cast<char*>(out.row.directory.c_str()));
        ListView_SetItemText(list, r, 2, const_cast<char*>(out.row.authority));
      }
      break;
    }
    default: break;
  }
  return true;
}

bool ClearFields(HWND hwnd) {
  HWND list = DlgItem(hwnd, kIdList);
  HWND name = DlgItem(hwnd, kIdName);
  HWND passwd = DlgItem(hwnd, kIdPassword);
  HWND directory = DlgItem(hwnd, kIdDirectory);
  HWND authority = DlgItem(hwnd, kIdAuthority);
  if (!list || !name || !passwd || !directory || !authority) return false;
  SetWindowTextA(name, "");
  SetWindowTextA(passwd, "");
  SetWindowTextA(directory, "");
  SendMessageA(authority, CB_SETCURSEL, 0, 0);
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
  return true;
}

// Opens the folder dialog on the directory that the field names, when it names one.
int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM, LPARAM start) {
  if (message == BFFM_INITIALIZED && start != 0)
    SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, start);
  return 0;
}

bool Browse(HWND hwnd) {
  HWND directory = DlgItem(hwnd, kIdDirectory);
  if (directory == nullptr) return false;
  const std::string field = WindowText(directory);
  const DWORD attr = field.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(field.c_str());
  const bool is_dir = attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;

  char display[MAX_PATH] = {};
  BROWSEINFOA info{};
  info.hwndOwner = hwnd;
  info.pszDisplayName = display;
  info.lpszTitle = kBrowseTitle;
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = BrowseCallback;
  info.lParam = is_dir ? reinterpret_cast<LPARAM>(field.c_str()) : 0;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&info);
  if (chosen == nullptr) return true;
  char path[MAX_PATH] = {};
  if (SHGetPathFromIDListA(chosen, path)) SetWindowTextA(directory, path);
  CoTaskMemFree(chosen);
  return true;
}

bool DeleteSelected(HWND hwnd) {
  HWND list = DlgItem(hwnd, kIdList);
  if (list == nullptr) return false;
  int r = FirstSelected(list);
  if (r < 0) {
    ShowBox(hwnd, NothingSelectedBox());
    return true;
  }
  for (; r >= 0; r = FirstSelected(list)) {
    const Outcome out = DeleteRow(CellText(list, r, 0, kDeleteNameChars).c_str());
    if (out.box) ShowBox(hwnd, *out.box);
    // A row that stays (not removed, or the list refused) loses its selection,
    // so the loop moves on.
    if (out.change != RowChange::kRemove || !ListView_DeleteItem(list, r))
      ListView_SetItemState(list, r, 0, LVIS_SELECTED);
  }
  return true;
}

// A command from the menu or a button; false when a control could not be had.
bool Command(HWND hwnd, int id) {
  switch (id) {
    case kCmdExit: PostQuitMessage(0); return true;
    case kCmdDelete: return DeleteSelected(hwnd);
    case kCmdRefresh: return Fill(hwnd);
    case kCmdInformation: ShowBox(hwnd, InformationBox()); return true;
    case kIdApply: return ApplyFields(hwnd);
    case kIdClear: return ClearFields(hwnd);
    case kIdBrowse: return Browse(hwnd);
    default: return true;
  }
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
      if (!CreateControls(hwnd, create->hInstance) || !Fill(hwnd)) PostQuitMessage(0);
      return 0;
    }
    case WM_SIZE:
      if (!PlaceList(hwnd, LOWORD(lparam), HIWORD(lparam))) PostQuitMessage(0);
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (header->idFrom != kIdList || header->code != LVN_ITEMCHANGED) break;
      // Only a change of selection: focus and other state changes leave the fields alone.
      const auto* change = reinterpret_cast<const NMLISTVIEW*>(lparam);
      if ((change->uChanged & LVIF_STATE) == 0 ||
          ((change->uOldState ^ change->uNewState) & LVIS_SELECTED) == 0)
        return 0;
      if (!ShowSelection(hwnd)) PostQuitMessage(0);
      return 0;
    }
    case WM_COMMAND:
      // Menu items and button clicks both arrive with notification code 0.
      if (HIWORD(wparam) == 0 && !Command(hwnd, LOWORD(wparam))) PostQuitMessage(0);
      return 0;
    case WM_ACTIVATE: {
      // A window that is not a dialog gives the focus to itself when it is
      // activated, where Tab finds no control to start from. Like a dialog,
      // this one keeps the control that had the focus and gives it back; the
      // user name field has it first.
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd, focus))
          SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(focus));
        return 0;
      }
      HWND focus = reinterpret_cast<HWND>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
      if (focus == nullptr || !IsChild(hwnd, focus)) focus = GetDlgItem(hwnd, kIdName);
      if (focus != nullptr) SetFocus(focus);
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      // The labels stand on the window's own background.
      HDC dc = reinterpret_cast<HDC>(wparam);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(kBackgroundColour));
    }
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: break;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

}  // namespace

void ShowBox(HWND owner, const Box& box) {
  MessageBoxA(owner, box.text.c_str(), box.caption.c_str(), MB_OK | IconStyle(box.icon));
}

void ShowSystemError(HWND owner, const char* call) {
  ShowBox(owner, SystemError(call, GetLastError()));
}

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA cls{};
  cls.cbSize = sizeof cls;
  cls.style = CS_HREDRAW | CS_VREDRAW;
  cls.lpfnWndProc = MainWindowProc;
  cls.hInstance = instance;
  cls.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TVUSERGUI));
  cls.hIconSm = cls.hIcon;
  cls.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  cls.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(kBackgroundColour + 1));
  cls.lpszMenuName = kMenuName;
  cls.lpszClassName = kWindowClass;
  return RegisterClassExA(&cls) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
  return CreateWindowExA(WS_EX_CLIENTEDGE, kWindowClass, kWindowTitle,
                         WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                         kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
}

}  // namespace torva::gui
