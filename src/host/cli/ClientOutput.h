#pragma once
// What the command-line client shows: values, the live watch table, flash progress.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/Variant.h"
#include "host/cli/QuorvanCli.h"

#include "kline/VisteonImage.h"

namespace quorvan::host {

// Printable ASCII as it is; a backslash and every other byte as \xNN.
std::string Printable(std::string_view bytes);

// A number in decimal, a byte string as hex bytes ("01 A0 FF"), an array as "[1, 2]",
// nothing as "-".
std::string FormatValue(const Variant& value);

// The server's fault list ("0123/0133/") as its codes, each printable.
std::vector<std::string> FaultCodes(std::string_view serverText);

// One value received for a watched item.
struct Reading {
  std::string raw;                   // as the server gave it: a number, hex bytes, fault codes
  std::optional<double> inUnits;     // a catalog data item's number in its units
  std::optional<double> trendValue;  // what the trend follows: the value in units, or the number
};
Reading DataReading(const WatchRequest& request, const Variant& value);
Reading FlagsReading(std::int32_t flags);
Reading FaultsReading(const std::string& faults);

// The catalog name of the item, or its raw address "0x0000010C".
std::string ItemLabel(const WatchRequest& request);
// The value in units without the unit ("1724", "0.450"); empty without one.
std::string UnitsValue(const WatchRequest& request, const Reading& reading);

// One line of the watch table.
struct WatchRow {
  static constexpr std::size_t kTrendLength = 20;
  WatchRequest request;
  std::size_t updates = 0;
  std::string value = "-";
  std::deque<double> trend;  // the last kTrendLength numbers, oldest first
};
// Counts the reading, shows it ("1724 rpm" for a catalog item) and adds it to the trend.
void Record(WatchRow& row, const Reading& reading);
// A header line and one line per row, columns aligned.
std::vector<std::string> WatchTableLines(const std::vector<WatchRow>& rows);
// The values as a bar per value, from the lowest to the highest of them: "▁▃▅█".
std::string Sparkline(const std::deque<double>& values);

// The family's catalog as a table: a header line and a line per item.
std::vector<std::string> ItemsTableLines(std::int32_t device);

// Lines kept up to date on a terminal: each drawing replaces the one before it. Where the
// output is no terminal only the final drawing is printed.
class LiveLines {
 public:
  explicit LiveLines(std::FILE* out);
  bool live() const { return live_; }
  // Redraws, on a terminal only.
  void draw(const std::vector<std::string>& lines);
  // The last drawing, on a terminal or not.
  void finish(const std::vector<std::string>& lines);

 private:
  void put(const std::vector<std::string>& lines);

  std::FILE* out_;
  bool live_;
  std::size_t drawn_ = 0;
};

// The checksum FlashVerify gets: the 16-bit sum of all bytes of the image.
std::uint16_t FlashChecksum(std::string_view image);
// What FlashVerify gets for the device: the 32-bit sum of an MSE 1.1 image, else
// FlashChecksum.
std::int32_t FlashVerifyValue(std::int32_t device, std::string_view image);
// Why the device cannot take the image as it is; empty when it can. Checked before
// anything is erased: an MSE 1.1 image is exactly the controller's 63232 bytes, a Visteon
// image exactly its region of regionBlocks 1 kB blocks (its verify sums the whole
// region), and the other families take none.
std::string ImageProblem(std::int32_t device, std::string_view image,
                         std::size_t regionBlocks = kVisteonRegionBlocks);
// The image cut into blocks of `blockSize` bytes; the last may be shorter.
std::vector<std::string> SplitBlocks(std::string_view image, std::size_t blockSize);
// "[#####-----]  5/10 blocks  50%".
std::string ProgressBar(std::size_t done, std::size_t total, std::size_t width = 30);

}  // namespace quorvan::host
