#pragma once

// A small terminal for tests of what a line editor sends: rows of cells, a cursor, and the
// few controls an editor needs (CR, LF, BS, BEL, ESC[K, ESC[nC, ESC[nD, ESC[...m). Anything
// else, a character that would not fit in the row (a real terminal would wrap it), or
// malformed UTF-8 sets `fault` with a note, so a test can insist on a clean stream.
// Header-only so that fuzz targets can use it too.

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::test {

class TerminalScreen {
 public:
  TerminalScreen(int width, std::function<int(char32_t)> charWidth)
      : width_(width), charWidth_(std::move(charWidth)), rows_(1) {}

  void write(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
      const auto byte = static_cast<unsigned char>(bytes[i]);
      if (byte == 0x1B) {
        i = control(bytes, i);
        continue;
      }
      if (byte < 0x80) {
        ++i;
        if (byte == '\r') {
          col_ = 0;
        } else if (byte == '\n') {
          ++row_;
          if (row_ == static_cast<int>(rows_.size())) rows_.emplace_back();
        } else if (byte == '\b') {
          if (col_ > 0) --col_;
        } else if (byte == '\a') {
          ++bells_;
        } else if (byte < 0x20 || byte == 0x7F) {
          fail("control character " + std::to_string(byte));
        } else {
          put(byte);
        }
        continue;
      }
      const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
      if (length == 0 || i + length > bytes.size()) {
        fail("malformed UTF-8");
        ++i;
        continue;
      }
      char32_t c = byte & (0x7F >> length);
      for (int k = 1; k < length; ++k) {
        c = (c << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
      }
      i += length;
      put(c);
    }
  }

  // The text of row `r` as UTF-8: cells never written or erased show as blanks, except at
  // the end of the row, which is cut after the last written cell.
  std::string row(int r) const {
    std::string out;
    std::size_t blanks = 0;
    for (const Cell& cell : rows_[r]) {
      if (cell.continuation) continue;
      if (cell.text.empty()) {
        ++blanks;
        continue;
      }
      out.append(blanks, ' ');
      blanks = 0;
      for (const char32_t c : cell.text) appendUtf8(out, c);
    }
    return out;
  }

  // The cells [from, to) of row `r` as UTF-8, cells never written or erased as blanks; the
  // right half of a wide character adds nothing.
  std::string cells(int r, int from, int to) const {
    std::string out;
    const auto& row = rows_[r];
    for (int c = from; c < to && c < static_cast<int>(row.size()); ++c) {
      if (row[c].continuation) continue;
      if (row[c].text.empty()) out.push_back(' ');
      for (const char32_t ch : row[c].text) appendUtf8(out, ch);
    }
    return out;
  }

  std::string currentRow() const { return row(row_); }
  int rowCount() const { return static_cast<int>(rows_.size()); }
  int cursorRow() const { return row_; }
  int cursorColumn() const { return col_; }
  int bells() const { return bells_; }
  bool fault() const { return !fault_.empty(); }
  const std::string& faultNote() const { return fault_; }

 private:
  struct Cell {
    std::u32string text;
    bool continuation = false;  // right half of a wide character
  };

  void fail(const std::string& note) {
    if (fault_.empty()) fault_ = note;
  }

  std::vector<Cell>& cells() {
    auto& row = rows_[row_];
    if (row.size() < static_cast<std::size_t>(width_)) row.resize(width_);
    return row;
  }

  void put(char32_t c) {
    auto& row = cells();
    const int w = charWidth_(c);
    if (w == 0) {
      int base = col_ - 1;
      if (base > 0 && row[base].continuation) --base;
      if (base < 0 || row[base].text.empty()) {
        fail("zero-width character with nothing to join");
        return;
      }
      row[base].text.push_back(c);
      return;
    }
    if (col_ + w > width_) {
      fail("character beyond the row");
      return;
    }
    clearCell(row, col_);
    if (w == 2) clearCell(row, col_ + 1);
    row[col_] = Cell{std::u32string(1, c), false};
    if (w == 2) row[col_ + 1] = Cell{{}, true};
    col_ += w;
  }

  // Overwriting half of a wide character leaves a blank in its other half.
  static void clearCell(std::vector<Cell>& row, int col) {
    if (row[col].continuation && col > 0) row[col - 1] = Cell{U" ", false};
    if (!row[col].continuation && col + 1 < static_cast<int>(row.size()) &&
        row[col + 1].continuation) {
      row[col + 1] = Cell{U" ", false};
    }
    row[col] = Cell{};
  }

  std::size_t control(std::string_view bytes, std::size_t i) {
    if (i + 1 >= bytes.size() || bytes[i + 1] != '[') {
      fail("ESC without [");
      return i + 1;
    }
    std::size_t k = i + 2;
    std::string params;
    while (k < bytes.size() && ((bytes[k] >= '0' && bytes[k] <= '9') || bytes[k] == ';')) {
      params.push_back(bytes[k++]);
    }
    if (k >= bytes.size()) {
      fail("unfinished escape sequence");
      return k;
    }
    const int n = params.empty() ? 1 : std::stoi(params.substr(0, 6));
    auto& row = cells();
    switch (bytes[k]) {
      case 'K':
        if (!params.empty() && params != "0") fail("ESC[" + params + "K");
        if (col_ > 0 && row[col_].continuation) row[col_ - 1] = Cell{U" ", false};
        for (int c = col_; c < width_; ++c) row[c] = Cell{};
        break;
      case 'C':
        col_ = std::min(width_ - 1, col_ + n);
        break;
      case 'D':
        col_ = std::max(0, col_ - n);
        break;
      case 'm':
        break;
      default:
        fail(std::string("escape sequence ending in ") + bytes[k]);
    }
    return k + 1;
  }

  static void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  int width_;
  std::function<int(char32_t)> charWidth_;
  std::vector<std::vector<Cell>> rows_;
  int row_ = 0;
  int col_ = 0;
  int bells_ = 0;
  std::string fault_;
};

}  // namespace velmar::test
