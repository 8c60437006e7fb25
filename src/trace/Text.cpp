#include "trace/Text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace quorvan {

const char* BoolText(bool b) {
  return b ? "True" : "False";
}

namespace {

std::string UpperHex(std::uint32_t value) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(value));
  return std::string(buf, static_cast<std::size_t>(n));
}

// A non-negative number as decimal digits: value = 0.d1d2d3... x 10^point. Empty digits
// stand for 0. Fifteen significant digits are what a double holds reliably, so the
// rounding below works on those rather than on the binary expansion (1.0005 rounds up).
struct DecimalDigits {
  std::string digits;
  int point = 0;
};

DecimalDigits ToDecimal(double magnitude) {
  if (magnitude == 0) return {};
  if (magnitude < 1e15 && magnitude == std::floor(magnitude)) {
    std::string digits = std::to_string(static_cast<std::uint64_t>(magnitude));
    const int point = static_cast<int>(digits.size());
    return {std::move(digits), point};
  }
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.14e", magnitude);
  const std::string_view s(buf);
  const std::size_t e = s.find('e');
  std::string digits(1, s[0]);
  digits.append(s.substr(2, e - 2));
  const int exponent = std::atoi(buf + e + 1);
  return {std::move(digits), exponent + 1};
}

// Rounds to `decimals` places after the point, half away from zero.
void RoundTo(DecimalDigits& d, int decimals) {
  const int keep = d.point + decimals;
  if (keep < 0) {
    d = {};
    return;
  }
  if (static_cast<std::size_t>(keep) >= d.digits.size()) return;
  const bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
  d.digits.resize(static_cast<std::size_t>(keep));
  if (!up) return;
  for (auto it = d.digits.rbegin(); it != d.digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return;
    }
    *it = '0';
  }
  d.digits.insert(d.digits.begin(), '1');
  ++d.point;
}

std::string IntegerDigits(const DecimalDigits& d) {
  if (d.point <= 0) return {};
  std::string out = d.digits.substr(0, static_cast<std::size_t>(d.point));
  out.resize(static_cast<std::size_t>(d.point), '0');
  const std::size_t first = out.find_first_not_of('0');
  return first == std::string::npos ? std::string{} : out.substr(first);
}

std::string FractionDigits(const DecimalDigits& d, int decimals) {
  std::string out;
  for (int j = 0; j < decimals; ++j) {
    const int idx = d.point + j;
    const bool inside = idx >= 0 && static_cast<std::size_t>(idx) < d.digits.size();
    out += inside ? d.digits[static_cast<std::size_t>(idx)] : '0';
  }
  return out;
}

bool IsPlaceholder(char c) {
  return c == '0' || c == '#';
}

struct PatternShape {
  std::string_view integerPart;
  std::string_view fractionPart;
  bool hasPoint = false;
  int integerSlots = 0;
  int integerMinimum = 0;  // slots from the first 0 on: always written
  int fractionSlots = 0;
  int fractionMinimum = 0;
};

PatternShape Shape(std::string_view pattern) {
  PatternShape p;
  const std::size_t dot = pattern.find('.');
  p.hasPoint = dot != std::string_view::npos;
  p.integerPart = pattern.substr(0, dot);
  if (p.hasPoint) p.fractionPart = pattern.substr(dot + 1);
  bool zeroSeen = false;
  for (char c : p.integerPart) {
    if (!IsPlaceholder(c)) continue;
    ++p.integerSlots;
    zeroSeen = zeroSeen || c == '0';
    if (zeroSeen) ++p.integerMinimum;
  }
  for (char c : p.fractionPart) {
    if (!IsPlaceholder(c)) continue;
    ++p.fractionSlots;
    if (c == '0') ++p.fractionMinimum;
  }
  return p;
}

// Fills the integer placeholders from the right; digits beyond the slots all go to the
// first slot, so a number is never cut.
void EmitInteger(std::string& out, const PatternShape& p, std::string digits) {
  if (digits.size() < static_cast<std::size_t>(p.integerMinimum))
    digits.insert(0, static_cast<std::size_t>(p.integerMinimum) - digits.size(), '0');
  const int slots = p.integerSlots;
  const int count = static_cast<int>(digits.size());
  const int overflow = count > slots ? count - slots : 0;
  const int firstShown = slots - (count - overflow);
  if (slots == 0) out += digits;
  int slot = 0;
  std::size_t next = 0;
  for (char c : p.integerPart) {
    if (!IsPlaceholder(c)) {
      out += c;
      continue;
    }
    if (slot == 0 && overflow > 0) {
      out.append(digits, 0, static_cast<std::size_t>(overflow));
      next = static_cast<std::size_t>(overflow);
    }
    if (slot >= firstShown) out += digits[next++];
    ++slot;
  }
}

void EmitFraction(std::string& out, const PatternShape& p, std::string digits) {
  while (digits.size() > static_cast<std::size_t>(p.fractionMinimum) && digits.back() == '0')
    digits.pop_back();
  std::size_t slot = 0;
  for (char c : p.fractionPart) {
    if (!IsPlaceholder(c)) {
      out += c;
      continue;
    }
    if (slot < digits.size()) out += digits[slot];
    ++slot;
  }
}

std::string LocalTimeText(const char* format) {
  const std::time_t now = std::time(nullptr);
  char buf[32];
  const std::size_t n = std::strftime(buf, sizeof buf, format, std::localtime(&now));
  return std::string(buf, n);
}

}  // namespace

std::string Hex(std::int32_t value) {
  return UpperHex(static_cast<std::uint32_t>(value));
}

std::string Hex16(std::int16_t value) {
  return UpperHex(static_cast<std::uint16_t>(value));
}

std::string PktToHex(std::string_view bytes, bool packed) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
    if (!packed) out += ' ';
  }
  return out;
}

std::string FormatNumber(double value, std::string_view pattern) {
  if (!std::isfinite(value)) return std::to_string(value);
  const PatternShape p = Shape(pattern);
  DecimalDigits d = ToDecimal(std::fabs(value));
  RoundTo(d, p.fractionSlots);
  const std::string integer = IntegerDigits(d);
  const std::string fraction = FractionDigits(d, p.fractionSlots);
  const bool zero = integer.empty() && fraction.find_first_not_of('0') == std::string::npos;

  std::string out;
  if (value < 0 && !zero) out += '-';
  EmitInteger(out, p, integer);
  if (p.hasPoint) {
    out += '.';
    EmitFraction(out, p, fraction);
  }
  return out;
}

std::string FormatAt(std::string_view text, std::string_view pattern) {
  std::size_t width = 0;
  for (char c : pattern) width += c == '@' ? 1 : 0;
  std::string out;
  if (text.size() < width) out.assign(width - text.size(), ' ');
  out += text;
  return out;
}

std::string TodayMmDdYyyy() {
  return LocalTimeText("%m-%d-%Y");
}

std::string TimeOfDayText() {
  return LocalTimeText("%H:%M:%S");
}

}  // namespace quorvan
