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
  // No frame of its own: the columns, which share out the client width, then
  // fit without a horizontal scroll bar.
  box(FL_NO_BOX);
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
  focus_row_ = anchor_row_ = -1;
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
  if (focus_row_ > row || focus_row_ >= rows()) --focus_row_;
  if (anchor_row_ > row || anchor_row_ >= rows()) --anchor_row_;
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

void ReportList::MoveFocus(int row, bool extend, bool keep_selection) {
  const int n = rows();
  if (n == 0) return;
  row = row < 0 ? 0 : row >= n ? n - 1 : row;
  if (extend) {
    if (anchor_row_ < 0) anchor_row_ = focus_row_ < 0 ? row : focus_row_;
    const int lo = anchor_row_ < row ? anchor_row_ : row;
    const int hi = anchor_row_ < row ? row : anchor_row_;
    for (int r = 0; r < n; ++r) select_row(r, r >= lo && r <= hi ? 1 : 0);
  } else if (!keep_selection) {
    select_all_rows(0);
    select_row(row, 1);
    anchor_row_ = row;
  }
  focus_row_ = row;
  // Keep the focus row in view.
  if (row <= toprow)
    row_position(row);
  else if (row >= botrow)
    row_position(row - (botrow - toprow) + 1);
  redraw();
}

bool ReportList::Key() {
  const int state = Fl::event_state();
  const bool shift = (state & FL_SHIFT) != 0;
  const bool ctrl = (state & FL_CTRL) != 0;
  if ((state & (FL_ALT | FL_META)) != 0) return false;
  const int page = botrow > toprow ? botrow - toprow : 1;
  const int from = focus_row_;
  switch (Fl::event_key()) {
    case FL_Up: MoveFocus(from < 0 ? 0 : from - 1, shift, ctrl); return true;
    case FL_Down: MoveFocus(from < 0 ? 0 : from + 1, shift, ctrl); return true;
    case FL_Page_Up: MoveFocus(from - page, shift, ctrl); return true;
    case FL_Page_Down: MoveFocus(from < 0 ? page : from + page, shift, ctrl); return true;
    case FL_Home: MoveFocus(0, shift, ctrl); return true;
    case FL_End: MoveFocus(rows() - 1, shift, ctrl); return true;
    case ' ':
      if (from < 0 || from >= rows()) return true;
      if (ctrl) {
        select_row(from, 2);
        anchor_row_ = from;
        redraw();
      } else {
        MoveFocus(from, shift, false);
      }
      return true;
    default: return false;
  }
}

int ReportList::handle(int event) {
  switch (event) {
    case FL_FOCUS:
    case FL_UNFOCUS: redraw(); return 1;
    case FL_PUSH:
    case FL_DRAG:
    case FL_RELEASE:
    case FL_KEYBOARD: break;
    default: return Fl_Table_Row::handle(event);
  }
  std::vector<bool> before = Selection();
  int used = 0;
  if (event == FL_KEYBOARD) {
    used = Key() ? 1 : 0;
  } else {
    if (event == FL_PUSH && Fl::visible_focus()) take_focus();
    used = Fl_Table_Row::handle(event);
    if (event == FL_PUSH) {
      // The clicked row takes the focus rectangle and anchors Shift selections.
      int r = -1, c = -1;
      ResizeFlag flag = RESIZE_NONE;
      if (cursor2rowcol(r, c, flag) == CONTEXT_CELL) {
        focus_row_ = r;
        if (!Fl::event_shift()) anchor_row_ = r;
        redraw();
      }
    }
  }
  if (changed_ != nullptr && Selection() != before) changed_(changed_data_);
  return used;
}

void ReportList::draw_cell(TableContext context, int r, int c, int x, int y, int w, int h) {
  switch (context) {
    case CONTEXT_STARTPAGE: fl_font(FL_HELVETICA, FL_NORMAL_SIZE); return;
    case CONTEXT_ENDPAGE: {
      // The header row goes on as an empty header past the last column.
      int left =
          tix + table_w - (hscrollbar->visible() ? static_cast<int>(hscrollbar->value()) : 0);
      int right = tix + tiw;
      if (col_header() && has_columns_ && left < right) {
        fl_push_clip(left, wiy, right - left, col_header_height());
        fl_draw_box(FL_THIN_UP_BOX, left, wiy, right - left, col_header_height(),
                    FL_BACKGROUND_COLOR);
        fl_pop_clip();
      }
      return;
    }
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
      if (r == focus_row_ && Fl::focus() == this) {
        // A dotted rectangle around the whole focus row, drawn cell by cell.
        fl_color(selected ? FL_WHITE : FL_FOREGROUND_COLOR);
        fl_line_style(FL_DOT);
        fl_xyline(x, y, x + w - 1);
        fl_xyline(x, y + h - 1, x + w - 1);
        if (c == 0) fl_yxline(x, y, y + h - 1);
        if (c == kColumns - 1) fl_yxline(x + w - 1, y, y + h - 1);
        fl_line_style(0);
      }
      fl_pop_clip();
      return;
    }
    default: return;
  }
}

}  // namespace torva::gui
