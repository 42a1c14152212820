#include "tvusergui/ReportList.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

namespace torva::gui {

namespace {
constexpr int kRowHeight = 20;
constexpr int kHeaderHeight = 22;
constexpr int kPad = 4;  // text inset inside a cell
}  // namespace

ReportList::ReportList(int x, int y, int w, int h) : Fl_Table_Row(x, y, w, h) {
  type(SELECT_MULTI);
  box(FL_DOWN_FRAME);
  color(FL_BACKGROUND2_COLOR);
  rows(0);
  cols(0);
  col_header(1);
  col_header_height(kHeaderHeight);
  col_resize(1);
  row_header(0);
  row_height_all(kRowHeight);
  row_resize(0);
  end();
}

void ReportList::AddColumns(const char* const titles[kColumns],
                            const std::array<int, kColumns>& widths) {
  if (has_columns_) return;
  has_columns_ = true;
  cols(kColumns);
  for (int c = 0; c < kColumns; ++c) {
    titles_[c] = titles[c];
    col_width(c, widths[c]);
  }
}

void ReportList::RemoveAll() {
  rows_.clear();
  rows(0);
}

void ReportList::Append(const Cells& cells) {
  rows_.push_back(cells);
  rows(static_cast<int>(rows_.size()));
  row_height_all(kRowHeight);
}

void ReportList::SetCell(int row, int col, const std::string& text) {
  rows_[row][col] = text;
  redraw();
}

void ReportList::Remove(int row) {
  std::vector<bool> sel = Selection();
  sel.erase(sel.begin() + row);
  rows_.erase(rows_.begin() + row);
  rows(static_cast<int>(rows_.size()));
  for (size_t r = 0; r < sel.size(); ++r) select_row(static_cast<int>(r), sel[r] ? 1 : 0);
  redraw();
}

int ReportList::Find(const std::string& text) const {
  for (size_t r = 0; r < rows_.size(); ++r)
    if (rows_[r][0] == text) return static_cast<int>(r);
  return -1;
}

int ReportList::FirstSelected() {
  for (int r = 0; r < rows(); ++r)
    if (row_selected(r) == 1) return r;
  return -1;
}

void ReportList::SelectNone() { select_all_rows(0); }

void ReportList::ScrollDown(int pixels) {
  int lines = (pixels + kRowHeight / 2) / kRowHeight;
  if (lines == 0 || rows() == 0) return;
  int top = vscrollbar->visible() ? static_cast<int>(vscrollbar->value()) / kRowHeight : 0;
  int target = top + lines;
  if (target > rows() - 1) target = rows() - 1;
  row_position(target);
}

std::vector<bool> ReportList::Selection() {
  std::vector<bool> sel(rows_.size());
  for (size_t r = 0; r < sel.size(); ++r) sel[r] = row_selected(static_cast<int>(r)) == 1;
  return sel;
}

int ReportList::handle(int event) {
  bool watch = event == FL_PUSH || event == FL_DRAG || event == FL_RELEASE ||
               event == FL_KEYBOARD || event == FL_SHORTCUT;
  if (!watch) return Fl_Table_Row::handle(event);
  std::vector<bool> before = Selection();
  int used = Fl_Table_Row::handle(event);
  if (changed_ != nullptr && Selection() != before) changed_(changed_data_);
  return used;
}

void ReportList::draw_cell(TableContext context, int r, int c, int x, int y, int w, int h) {
  switch (context) {
    case CONTEXT_STARTPAGE: fl_font(FL_HELVETICA, FL_NORMAL_SIZE); return;
    case CONTEXT_COL_HEADER:
      fl_push_clip(x, y, w, h);
      fl_draw_box(FL_THIN_UP_BOX, x, y, w, h, FL_BACKGROUND_COLOR);
      fl_color(FL_FOREGROUND_COLOR);
      fl_draw(titles_[c] != nullptr ? titles_[c] : "", x + kPad, y, w - 2 * kPad, h, FL_ALIGN_LEFT,
              nullptr, 0);
      fl_pop_clip();
      return;
    case CONTEXT_CELL: {
      if (r >= static_cast<int>(rows_.size())) return;
      bool selected = row_selected(r) == 1;
      fl_push_clip(x, y, w, h);
      fl_color(selected ? FL_SELECTION_COLOR : FL_BACKGROUND2_COLOR);
      fl_rectf(x, y, w, h);
      fl_color(selected ? fl_contrast(FL_FOREGROUND_COLOR, FL_SELECTION_COLOR)
                        : FL_FOREGROUND_COLOR);
      fl_draw(rows_[r][c].c_str(), x + kPad, y, w - 2 * kPad, h, FL_ALIGN_LEFT, nullptr, 0);
      fl_pop_clip();
      return;
    }
    default: return;
  }
}

}  // namespace torva::gui
