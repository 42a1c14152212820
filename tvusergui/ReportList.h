// A report list for FLTK: column headers, rows of text, several rows
// selectable with the mouse (Ctrl and Shift) and the keyboard (arrows, Home,
// End, Page Up and Down; Shift extends, Ctrl moves the focus row only and
// Ctrl+Space toggles it). FLTK has no list view of its own; this one is built
// on Fl_Table_Row.
#pragma once

#include <FL/Fl_Table_Row.H>

#include <array>
#include <string>
#include <vector>

namespace torva::gui {

class ReportList : public Fl_Table_Row {
 public:
  static constexpr int kColumns = 3;
  using Cells = std::array<std::string, kColumns>;

  ReportList(int x, int y, int w, int h);

  // Adds the columns once; later calls change nothing.
  void AddColumns(const char* const titles[kColumns], const std::array<int, kColumns>& widths);
  void RemoveAll();
  void Append(const Cells& cells);
  void SetCell(int row, int col, const std::string& text);
  void Remove(int row);
  const std::string& Text(int row, int col) const { return rows_[row][col]; }
  // The first row whose first column equals `text`, or -1.
  int Find(const std::string& text) const;
  // The first selected row, or -1.
  int FirstSelected();
  void SelectNone();
  // Scrolls down by `pixels`, rounded to whole rows as a report list scrolls.
  void ScrollDown(int pixels);

  // Called after the user changed the selection with the mouse or the keyboard.
  void OnSelectionChange(void (*fn)(void*), void* data) {
    changed_ = fn;
    changed_data_ = data;
  }

  int handle(int event) override;

 protected:
  void draw_cell(TableContext context, int r, int c, int x, int y, int w, int h) override;

 private:
  std::vector<bool> Selection();
  // Handles a key; false for keys that are not the list's, such as Tab.
  bool Key();
  void MoveFocus(int row, bool extend, bool keep_selection);

  std::vector<Cells> rows_;
  std::array<const char*, kColumns> titles_{};
  bool has_columns_ = false;
  int focus_row_ = -1;   // the row with the focus rectangle, -1 before the first
  int anchor_row_ = -1;  // where a Shift selection starts
  void (*changed_)(void*) = nullptr;
  void* changed_data_ = nullptr;
};

}  // namespace torva::gui
