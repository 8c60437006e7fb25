#pragma once
// Text helpers of the trace and of the client texts: numbers, Booleans, hex dumps and
// display patterns, written the way the server's texts have always been written.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvan {

// The line end of every text the server writes to a file or a report.
inline constexpr const char* kCrLf = "\r\n";

// "True" / "False".
const char* BoolText(bool b);

// Upper-case hexadecimal without leading zeros of a 32-bit value (-1 gives FFFFFFFF).
std::string Hex(std::int32_t value);
// The same for a 16-bit value (-1 gives FFFF).
std::string Hex16(std::int16_t value);

// Two upper-case hex digits and a blank per byte: "01 A0 ". Packed leaves the blanks out.
std::string PktToHex(std::string_view bytes, bool packed = false);

// Renders a number by a display pattern: 0 a digit always written, # a digit written
// only when significant (0 under "#" alone writes nothing), "." the decimal point, every
// other character copied. Example: Format(0.016, "####0.000") is "0.016".
std::string FormatNumber(double value, std::string_view pattern);
// Right-aligns text in as many characters as the pattern has @ (longer text whole).
std::string FormatAt(std::string_view text, std::string_view pattern);

// Today as mm-dd-yyyy, and the time of day as HH:MM:SS, both local time.
std::string TodayMmDdYyyy();
std::string TimeOfDayText();

}  // namespace quorvan
