// The user administration window without a toolkit: its layout, its texts and
// what each action does (which user store call, which message box, which row
// change). A view builds its widgets from the tables here, forwards every
// action to one function and carries out the Outcome it gets back, in order:
// first the message box, then the row change.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "platform/wintypes.h"

namespace torva::gui {

inline constexpr char kWindowTitle[] = "Torva Server - User administration GUI";
inline constexpr int kWindowWidth = 512;
inline constexpr int kWindowHeight = 512;
inline constexpr char kBrowseTitle[] = "Select root directory of FTP user.";
inline constexpr const char* kAuthorityItems[] = {"writable", "readonly"};
inline constexpr const char* kColumnTitles[] = {"User name", "Directory", "Authority"};

// Exit codes: start-up failed after its message box, or the window ran and ended.
inline constexpr int kExitStartFailed = 0;
inline constexpr int kExitEnded = 1;

// Menu commands.
enum Command : int {
  kCmdInformation = 40001,
  kCmdExit = 40002,
  kCmdDelete = 40005,
  kCmdRefresh = 40006,
};

struct MenuItem {
  const char* menu;  // '&' marks the mnemonic, as in the item texts
  const char* item;
  Command command;
};
inline constexpr MenuItem kMenu[] = {
    {"&System", "E&xit", kCmdExit},
    {"&Control", "&Delete", kCmdDelete},
    {"&Control", "&Refresh", kCmdRefresh},
    {"&Help", "&Information", kCmdInformation},
};

enum ControlId : int {
  kIdNameLabel = 2,
  kIdPasswordLabel = 3,
  kIdDirectoryLabel = 4,
  kIdAuthorityLabel = 5,
  kIdName = 6,
  kIdPassword = 7,
  kIdDirectory = 8,
  kIdBrowse = 9,
  kIdAuthority = 10,
  kIdApply = 11,
  kIdClear = 12,
  kIdList = 13,
};

enum class ControlKind {
  kLabel,     // right-aligned static text
  kEdit,      // sunken edge, tab stop, scrolls horizontally
  kPassword,  // an edit whose characters are masked
  kButton,    // push button with a sunken edge, tab stop
  kDropDown,  // list of kAuthorityItems, not editable, tab stop
  kList,      // report list of kColumnTitles, several rows selectable, tab stop
};

// Controls in creation order, which is also the keyboard (Tab) order. Places
// are client pixels; the drop-down's height includes its open list. The list
// is created at 0, 104 with the client's width and its height less 104 (w and
// h 0 here); every size change, the first one included, moves it to ListPlace().
struct Control {
  ControlId id;
  ControlKind kind;
  const char* text;
  int x, y, w, h;
};
inline constexpr Control kControls[] = {
    {kIdNameLabel, ControlKind::kLabel, "User name : ", 0, 10, 128, 24},
    {kIdPasswordLabel, ControlKind::kLabel, "Password : ", 0, 36, 128, 24},
    {kIdDirectoryLabel, ControlKind::kLabel, "Directory : ", 0, 62, 128, 24},
    {kIdAuthorityLabel, ControlKind::kLabel, "Authority : ", 0, 88, 128, 24},
    {kIdName, ControlKind::kEdit, "", 128, 10, 256, 24},
    {kIdPassword, ControlKind::kPassword, "", 128, 36, 256, 24},
    {kIdDirectory, ControlKind::kEdit, "", 128, 62, 256, 24},
    {kIdBrowse, ControlKind::kButton, "...", 384, 62, 32, 24},
    {kIdAuthority, ControlKind::kDropDown, "", 128, 88, 128, 64},
    {kIdApply, ControlKind::kButton, "Apply", 272, 88, 64, 28},
    {kIdClear, ControlKind::kButton, "Clear", 344, 88, 64, 28},
    {kIdList, ControlKind::kList, "", 0, 104, 0, 0},
};

struct Rect {
  int x, y, w, h;
};
// The list's place for a client area of the given size.
Rect ListPlace(int client_width, int client_height);
// Widths of the three columns, fixed when the list is first filled.
std::array<int, 3> ColumnWidths(int client_width);

// Message boxes have an OK button only.
enum class BoxIcon { kInformation, kWarning, kError };
struct Box {
  std::string text;
  std::string caption;
  BoxIcon icon;
};

// A failed user store call: the caption is the call's name, the text follows its code.
Box LibraryError(const char* function, int32_t code);
// A failed platform call: its name and the system's text for its error number.
Box SystemError(const char* call, DWORD error);
Box InformationBox();
Box NothingSelectedBox();

// One row of the list.
struct Row {
  std::string name;
  std::string directory;
  const char* authority;  // "writable" or "readonly"
};

// The three edit fields and the selector as the user store gets them:
// zero-filled, so the password buffer ends zero-padded.
struct Fields {
  char name[32] = {};
  char passwd[32] = {};
  char directory[1024] = {};
  int authority = 0;  // selector index: 0 "writable", 1 "readonly"
};

enum class RowChange {
  kNone,
  kAppend,  // add `row` at the end, then scroll the list down by kAppendScroll pixels
  kUpdate,  // set directory and authority of the row whose first column equals row.name
  kRemove,  // remove the row the action was taken on
};
inline constexpr int kAppendScroll = 16;

struct Outcome {
  std::optional<Box> box;
  RowChange change = RowChange::kNone;
  Row row{};
};

// Filling the list (at creation and on Refresh): the rows in store order, or a
// box after which the program closes.
struct ListFill {
  std::vector<Row> rows;
  std::optional<Box> box;
};
ListFill FillList();

// A row was selected: the fields to show, after the box when the user could
// not be read (the fields are then empty).
struct Selection {
  Fields fields;
  std::optional<Box> box;
};
Selection SelectRow(const char* first_column);

// Apply with the fields' whole texts and the selector's index.
Outcome Apply(const char* name, const char* passwd, const char* directory, int authority);

// Delete, once for each selected row, first to last; with none selected the
// view shows NothingSelectedBox() instead.
Outcome DeleteRow(const char* first_column);

// The instance lock: a file below the installation directory, held without
// sharing for the whole run, so a second copy cannot open it.
class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock() { Release(); }

  // Creates or opens `path` without sharing and writes the lock text. False
  // when another process holds it or it cannot be written.
  bool Acquire(const char* path);
  // Closes and deletes the file when it is held.
  void Release();

 private:
  UniqueKernelHandle file_;
  std::string path_;
};

// Start-up before any window: the installation directory from the settings
// key, then the instance lock below it. A returned box is shown, and the
// program then exits with kExitStartFailed.
std::optional<Box> StartUp(InstanceLock* lock);

}  // namespace torva::gui
