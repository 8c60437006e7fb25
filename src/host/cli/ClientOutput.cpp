#include "host/cli/ClientOutput.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "catalog/Catalog.h"
#include "client/Enums.h"
#include "host/common/CommandLine.h"
#include "host/common/Overloaded.h"
#include "kline/Mse11Image.h"
#include "kline/VisteonImage.h"
#include "trace/Text.h"

namespace quorvan::host {

std::string Printable(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      text += c;
    } else {
      text += fmt::format("\\x{:02X}", b);
    }
  }
  return text;
}

std::string FormatValue(const Variant& value) {
  return std::visit(Overloaded{
                        [](std::monostate) { return std::string("-"); },
                        [](std::int32_t n) { return std::to_string(n); },
                        [](const std::string& bytes) {
                          std::string hex = PktToHex(bytes);
                          if (!hex.empty()) hex.pop_back();  // the blank after the last byte
                          return hex;
                        },
                        [](const std::vector<std::int32_t>& numbers) {
                          return fmt::format("[{}]", fmt::join(numbers, ", "));
                        },
                    },
                    value.value);
}

std::vector<std::string> FaultCodes(std::string_view serverText) {
  std::vector<std::string> codes;
  std::size_t start = 0;
  while (start < serverText.size()) {
    const std::size_t end = std::min(serverText.find('/', start), serverText.size());
    if (end > start) codes.push_back(Printable(serverText.substr(start, end - start)));
    start = end + 1;
  }
  return codes;
}

Reading DataReading(const WatchRequest& request, const Variant& value) {
  Reading reading{FormatValue(value), std::nullopt, std::nullopt};
  if (const auto* number = std::get_if<std::int32_t>(&value.value)) {
    reading.trendValue = *number;
    if (request.named && catalog::HasUnits(*request.named)) {
      reading.inUnits = catalog::ValueInUnits(*request.named, *number);
      reading.trendValue = reading.inUnits;
    }
  }
  return reading;
}

Reading FlagsReading(std::int32_t flags) {
  return {fmt::format("0x{:08X}", static_cast<std::uint32_t>(flags)), std::nullopt, std::nullopt};
}

Reading FaultsReading(const std::string& faults) {
  return {Printable(faults), std::nullopt, std::nullopt};
}

std::string ItemLabel(const WatchRequest& request) {
  if (request.named) return request.named->name;
  return fmt::format("0x{:08X}", static_cast<std::uint32_t>(request.addr));
}

std::string UnitsValue(const WatchRequest& request, const Reading& reading) {
  if (!reading.inUnits || !request.named) return {};
  return fmt::format("{:.{}f}", *reading.inUnits, request.named->digits);
}

void Record(WatchRow& row, const Reading& reading) {
  ++row.updates;
  const std::string inUnits = UnitsValue(row.request, reading);
  if (inUnits.empty()) {
    row.value = reading.raw;
  } else if (*row.request.named->unit) {
    row.value = fmt::format("{} {}", inUnits, row.request.named->unit);
  } else {
    row.value = inUnits;
  }
  if (!reading.trendValue) return;
  row.trend.push_back(*reading.trendValue);
  if (row.trend.size() > WatchRow::kTrendLength) row.trend.pop_front();
}

std::vector<std::string> WatchTableLines(const std::vector<WatchRow>& rows) {
  constexpr const char* kLayout = "{:>4}  {:<16}  {:<6}  {:>7}  {:<14}  {}";
  std::vector<std::string> lines;
  lines.push_back(fmt::format(kLayout, "Item", "Name", "Kind", "Updates", "Value", "Trend"));
  for (const WatchRow& row : rows) {
    lines.push_back(fmt::format(kLayout, row.request.item, ItemLabel(row.request),
                                KindName(row.request.kind), row.updates, row.value,
                                Sparkline(row.trend)));
  }
  return lines;
}

std::string Sparkline(const std::deque<double>& values) {
  static constexpr std::array<const char*, 8> kBars = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  if (values.empty()) return {};
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  const double span = *high - *low;
  std::string line;
  for (const double v : values) {
    // A flat history sits in the middle: level, neither high nor low.
    const double share = span > 0 ? (v - *low) / span : 0.5;
    line += kBars[static_cast<std::size_t>(std::lround(share * (kBars.size() - 1)))];
  }
  return line;
}

std::vector<std::string> ItemsTableLines(std::int32_t device) {
  constexpr const char* kLayout = "{:<16}  {:<8}  {:>4}  {:<6}  {:<5}  {}";
  std::vector<std::string> lines;
  lines.push_back(fmt::format(kLayout, "Name", "Address", "Size", "Kind", "Unit", "Description"));
  for (const catalog::CatalogItem& item : catalog::ItemsOf(device)) {
    lines.push_back(fmt::format(kLayout, item.name,
                                fmt::format("0x{:04X}", static_cast<std::uint32_t>(item.address)),
                                item.size, KindName(item.kind), item.unit, item.description));
  }
  return lines;
}

LiveLines::LiveLines(std::FILE* out) : out_(out), live_(::isatty(::fileno(out)) != 0) {}

void LiveLines::draw(const std::vector<std::string>& lines) {
  if (live_) put(lines);
}

void LiveLines::finish(const std::vector<std::string>& lines) {
  put(lines);
}

void LiveLines::put(const std::vector<std::string>& lines) {
  if (live_ && drawn_ > 0) fmt::print(out_, "\x1b[{}A", drawn_);  // back to the first line
  // On a terminal each line also clears what a longer line before it left.
  const char* clearRest = live_ ? "\x1b[K" : "";
  for (const auto& line : lines) fmt::print(out_, "{}{}\n", line, clearRest);
  std::fflush(out_);
  drawn_ = lines.size();
}

std::uint16_t FlashChecksum(std::string_view image) {
  std::uint16_t sum = 0;
  for (const char c : image) sum = static_cast<std::uint16_t>(sum + static_cast<unsigned char>(c));
  return sum;
}

std::int32_t FlashVerifyValue(std::int32_t device, std::string_view image) {
  if (device == ecuMSE11) return static_cast<std::int32_t>(Mse11ImageChecksum(image));
  return FlashChecksum(image);
}

std::string ImageProblem(std::int32_t device, std::string_view image, std::size_t regionBlocks) {
  if (device == ecuMSE11) {
    if (image.size() == kMse11ImageSize) return {};
    return fmt::format("an MSE 1.1 image is {} bytes, this one {}", kMse11ImageSize, image.size());
  }
  if (device == ecuVisteon) {
    const std::size_t region = regionBlocks * kVisteonFlashBlockSize;
    if (image.size() == region) return {};
    return fmt::format(
        "a Visteon image fills the controller's region of {} blocks of {} bytes ({} bytes), "
        "this one is {} bytes (--region-blocks names a smaller region)",
        regionBlocks, kVisteonFlashBlockSize, region, image.size());
  }
  return fmt::format("{} controllers take no image (visteon and mse11 do)", DeviceName(device));
}

std::vector<std::string> SplitBlocks(std::string_view image, std::size_t blockSize) {
  if (blockSize == 0) throw std::invalid_argument("a block size of 0");
  std::vector<std::string> blocks;
  for (std::size_t at = 0; at < image.size(); at += blockSize) {
    blocks.emplace_back(image.substr(at, blockSize));
  }
  return blocks;
}

std::string ProgressBar(std::size_t done, std::size_t total, std::size_t width) {
  const std::size_t filled = total == 0 ? width : std::min(width, done * width / total);
  const std::size_t percent = total == 0 ? 100 : std::min<std::size_t>(100, done * 100 / total);
  return fmt::format("[{}{}] {:>{}}/{} blocks {:>3}%", std::string(filled, '#'),
                     std::string(width - filled, '-'), done, std::to_string(total).size(), total,
                     percent);
}

}  // namespace quorvan::host
