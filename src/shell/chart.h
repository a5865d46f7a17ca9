// Charts drawn with text: ten rows of Unicode block elements (a cell fills in eighths, so a
// column shows its value to 1/80 of the chart's height at any width), a y-axis with labels,
// an x-axis with times, and a one-row band for on/off values. Pure functions of their inputs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/regional.h"

namespace velmar::shell {

inline constexpr std::int32_t kChartRows = 10;

// The values the rows stand for: row 9 (the lowest) from `bottom` to `bottom + step`, ...,
// row 0 up to `bottom + 10 * step`. Steps are 1, 2, 2.5 or 5 times a power of ten, and the
// bottom a multiple of two steps, so that the labels of every other row are round numbers.
struct ChartScale {
  double bottom = 0, step = 1;
  int decimals = 0;  // what the labels need
  double top() const { return bottom + kChartRows * step; }
};

// The scale that holds every value from `min` to `max`; from zero (bars) when `fromZero` is
// set and no value is negative. Equal values stand in the middle.
ChartScale ScaleFor(double min, double max, bool fromZero);

// How values are shown: the number with as many decimals as needed (at most `decimals`), as a
// listing shows numbers (21.0 is "21"), between the profile's prefix and suffix.
struct ValueFormat {
  std::u16string prefix, suffix;
  std::u16string Text(double value, int decimals) const;
};

// The rows of a chart `width` characters wide: every other row labelled with the value at its
// top edge (right-aligned), an axis, then one cell per value of `columns` (none: a gap, left
// empty). A value that is present always shows at least 1/8 of a cell. The labels are left
// out when they would leave fewer than 10 columns. `columns` must hold DataColumns() values.
class ChartLayout {
 public:
  ChartLayout(const ChartScale& scale, const ValueFormat& format, std::int32_t width);
  // The layout of a band: "on/off" in the label column.
  static ChartLayout ForBand(std::int32_t width);

  std::int32_t DataColumns() const { return dataColumns_; }
  std::int32_t LabelWidth() const { return labelWidth_; }

  std::vector<std::u16string> Rows(const std::vector<std::optional<double>>& columns) const;

  // One row of the shares of time on (0 to 1): a light shade where it is 0, else a block as
  // high as the share (at least 1/8, a full block for 1), nothing in a gap; "on/off" stands in
  // the label column of a band's layout.
  std::u16string Band(const std::vector<std::optional<double>>& shares) const;

  // Two lines under the chart from `from` to `to` (Unix seconds): the axis with a tick at each
  // round time (hours, days, months, ... in local time, as many as there is room for), and
  // under the ticks their times in the regional format (hours and minutes for spans up to two
  // days, else dates).
  std::vector<std::u16string> TimeAxis(std::int64_t from, std::int64_t to,
                                       const platform::RegionalSettings& settings) const;

 private:
  ChartLayout() = default;
  void Fit(std::int32_t labelText, std::int32_t width);

  ChartScale scale_;
  ValueFormat format_;
  std::int32_t labelWidth_ = 0;  // label text and the blank after it; 0 without labels
  std::int32_t dataColumns_ = 0;
};

// The ticks of a time axis from `from` to `to`: round local times, at most `most` of them.
std::vector<std::int64_t> TimeTicks(std::int64_t from, std::int64_t to, std::int32_t most);

}  // namespace velmar::shell
