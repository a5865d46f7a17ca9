#include "shell/chart.h"

#include <algorithm>
#include <cmath>

#include "platform/clock.h"
#include "text/encoding.h"

namespace velmar::shell {
namespace {

constexpr char16_t kEighths[] = u" ▁▂▃▄▅▆▇█";
constexpr char16_t kShade = u'░';
constexpr char16_t kAxis = u'│', kLabelTick = u'┤', kCorner = u'└', kLine = u'─', kTick = u'┬';
constexpr std::u16string_view kBandLabel = u"on/off";
// The fewest data columns worth drawing labels beside.
constexpr std::int32_t kMinDataColumns = 10;

// The nice steps (1, 2, 2.5, 5 times a power of ten) in order, from the one at or above `at`.
double NiceStepAtLeast(double at) {
  const double power = std::pow(10.0, std::floor(std::log10(at)));
  for (const double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * power >= at * (1 - 1e-12)) return m * power;
  return 10 * power;
}

double NextNiceStep(double step) {
  const double power = std::pow(10.0, std::floor(std::log10(step) + 1e-9));
  const double m = step / power;
  if (m < 1.5) return 2 * power;
  if (m < 2.25) return 2.5 * power;
  if (m < 3.5) return 5 * power;
  return 10 * power;
}

int DecimalsFor(double step) {
  const double exponent = std::floor(std::log10(step) + 1e-9);
  const double mantissa = step / std::pow(10.0, exponent);
  const int quarter = std::fabs(mantissa - 2.5) < 1e-9 ? 1 : 0;
  return std::max(0, static_cast<int>(-exponent) + quarter);
}

std::u16string Ascii(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

}  // namespace

ChartScale ScaleFor(double min, double max, bool fromZero) {
  if (!std::isfinite(min) || !std::isfinite(max)) min = max = 0;
  if (max < min) std::swap(min, max);
  const bool zeroBased = fromZero && min >= 0;
  if (zeroBased) min = 0;
  double range = max - min;
  bool flat = range <= 0;
  if (flat) range = std::fabs(max) > 0 ? std::fabs(max) / 5 : 1;
  ChartScale scale;
  scale.step = NiceStepAtLeast(range / kChartRows);
  const double low = flat ? min - range / 2 : min;
  for (int tries = 0;; ++tries) {
    // Labels stand on every other row: the bottom lies on a multiple of two steps, so that
    // every label is one.
    const double labelStep = 2 * scale.step;
    const double slack = scale.step * 1e-9;
    scale.bottom = zeroBased ? 0 : std::floor(low / labelStep + 1e-9) * labelStep;
    if (scale.top() >= max - slack || tries == 16) {
      // The lowest value stands above the bottom when that costs no larger step, so that it
      // shows as more than a sliver.
      if (!zeroBased && scale.bottom >= min - slack && scale.top() - labelStep >= max - slack)
        scale.bottom -= labelStep;
      break;
    }
    scale.step = NextNiceStep(scale.step);
  }
  scale.decimals = DecimalsFor(2 * scale.step);
  return scale;
}

std::u16string ValueFormat::Text(double value, int decimals) const {
  if (!std::isfinite(value)) return prefix + u"?" + suffix;
  const int places = std::clamp(decimals, 0, 12);
  // Room for the largest double in fixed notation (309 digits), its decimals and the sign.
  char buffer[340];
  std::snprintf(buffer, sizeof buffer, "%.*f", places, value);
  std::string number(buffer);
  if (number.find('.') != std::string::npos) {
    while (number.back() == '0') number.pop_back();
    if (number.back() == '.') number.pop_back();
  }
  if (number == "-0") number.erase(0, 1);
  std::u16string text;
  text.reserve(prefix.size() + number.size() + suffix.size());
  text += prefix;
  text += Ascii(number);
  text += suffix;
  return text;
}

ChartLayout::ChartLayout(const ChartScale& scale, const ValueFormat& format, std::int32_t width)
    : scale_(scale), format_(format) {
  std::int32_t widest = 0;
  for (int row = 0; row < kChartRows; row += 2) {
    const double value = scale_.top() - row * scale_.step;
    widest =
        std::max(widest, static_cast<std::int32_t>(format_.Text(value, scale_.decimals).size()));
  }
  Fit(widest, width);
}

ChartLayout ChartLayout::ForBand(std::int32_t width) {
  ChartLayout layout;
  layout.Fit(static_cast<std::int32_t>(kBandLabel.size()), width);
  return layout;
}

void ChartLayout::Fit(std::int32_t labelText, std::int32_t width) {
  labelWidth_ = labelText + 1;
  if (width - labelWidth_ - 1 < kMinDataColumns) labelWidth_ = 0;
  dataColumns_ = std::max(width - labelWidth_ - (labelWidth_ > 0 ? 1 : 0), 1);
}

std::vector<std::u16string> ChartLayout::Rows(
    const std::vector<std::optional<double>>& columns) const {
  std::vector<std::u16string> rows;
  const double height = scale_.top() - scale_.bottom;
  for (int row = 0; row < kChartRows; ++row) {
    std::u16string line;
    if (labelWidth_ > 0) {
      std::u16string label =
          row % 2 == 0 ? format_.Text(scale_.top() - row * scale_.step, scale_.decimals) : u"";
      line.append(static_cast<std::size_t>(labelWidth_ - 1) - label.size(), u' ');
      line += label + u" ";
      line += row % 2 == 0 ? kLabelTick : kAxis;
    }
    for (const std::optional<double>& value : columns) {
      if (!value) {
        line += u' ';
        continue;
      }
      // The value's height in eighths of a cell, at least one.
      const double eighths = (*value - scale_.bottom) / height * kChartRows * 8;
      const long filled = std::clamp(std::lround(eighths), 1L, long{kChartRows} * 8);
      const long level = std::clamp(filled - (kChartRows - 1 - row) * 8L, 0L, 8L);
      line += kEighths[level];
    }
    rows.push_back(std::move(line));
  }
  return rows;
}

std::u16string ChartLayout::Band(const std::vector<std::optional<double>>& shares) const {
  std::u16string line;
  if (labelWidth_ > 0) {
    const std::u16string_view label =
        labelWidth_ > static_cast<std::int32_t>(kBandLabel.size()) ? kBandLabel : u"";
    line.append(static_cast<std::size_t>(labelWidth_ - 1) - label.size(), u' ');
    line += label;
    line += u' ';
    line += kAxis;
  }
  for (const std::optional<double>& share : shares) {
    if (!share) {
      line += u' ';
    } else if (*share <= 0) {
      line += kShade;
    } else {
      line += kEighths[std::clamp(std::lround(*share * 8), 1L, 8L)];
    }
  }
  return line;
}

std::vector<std::u16string> ChartLayout::TimeAxis(
    std::int64_t from, std::int64_t to, const platform::RegionalSettings& settings) const {
  const std::string pattern =
      to - from <= 2 * 86400 ? std::string("%H:%M") : settings.shortDateFormat;
  auto label = [&](std::int64_t t) {
    return text::Utf8ToUtf16(platform::FormatDateTimeWith(
        platform::UnixMillisecondsToLocalDateTime(t * 1000), pattern, settings));
  };
  const std::int32_t labelLength = static_cast<std::int32_t>(label(from).size());
  // Room for each time and a few blanks between them, wherever a label is pushed to fit.
  const std::int32_t most = dataColumns_ / std::max(labelLength + 4, 1);

  std::u16string axis(static_cast<std::size_t>(dataColumns_), kLine);
  std::u16string labels(static_cast<std::size_t>(dataColumns_), u' ');
  std::int32_t free = 0;  // the first column a next label may use
  for (const std::int64_t tick : TimeTicks(from, to, most)) {
    const auto column = static_cast<std::int32_t>((tick - from) * dataColumns_ / (to - from));
    if (column < 0 || column >= dataColumns_) continue;
    axis[static_cast<std::size_t>(column)] = kTick;
    const std::u16string text = label(tick);
    const auto length = static_cast<std::int32_t>(text.size());
    const std::int32_t start =
        std::clamp(column - length / 2, 0, std::max(dataColumns_ - length, 0));
    if (start < free || start + length > dataColumns_) continue;
    labels.replace(static_cast<std::size_t>(start), text.size(), text);
    free = start + length + 2;
  }
  while (!labels.empty() && labels.back() == u' ') labels.pop_back();
  const std::u16string indent(static_cast<std::size_t>(labelWidth_), u' ');
  const std::u16string corner = labelWidth_ > 0 ? std::u16string(1, kCorner) : u"";
  const std::u16string under = labelWidth_ > 0 ? u" " : u"";
  return {indent + corner + axis, labels.empty() ? u"" : indent + under + labels};
}

}  // namespace velmar::shell
