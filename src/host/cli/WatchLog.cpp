#include "host/cli/WatchLog.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quorvan::host {

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string CsvRow(std::uint32_t timeMs, const WatchRequest& request, const Reading& reading) {
  const std::string inUnits = UnitsValue(request, reading);
  const char* unit = inUnits.empty() ? "" : request.named->unit;
  return fmt::format("{},{},{},{},{}", timeMs, CsvField(ItemLabel(request)), CsvField(reading.raw),
                     inUnits, CsvField(unit));
}

WatchLog::WatchLog(const std::filesystem::path& file)
    : file_(file), out_(std::fopen(file.c_str(), "w")) {
  if (out_ == nullptr) {
    throw std::runtime_error(
        fmt::format("cannot write the log {}: {}", file.string(), std::strerror(errno)));
  }
  put(kHeader);
  if (!failure_.empty()) throw std::runtime_error(failure_);
}

WatchLog::~WatchLog() {
  std::fclose(out_);
}

void WatchLog::write(std::uint32_t timeMs, const WatchRequest& request, const Reading& reading) {
  put(CsvRow(timeMs, request, reading));
}

void WatchLog::put(const std::string& line) {
  if (!failure_.empty()) return;
  // A pipe or a terminal takes no sync (EINVAL): what it was handed is all it gets.
  const bool written = std::fputs((line + "\n").c_str(), out_) >= 0 && std::fflush(out_) == 0 &&
                       (::fdatasync(::fileno(out_)) == 0 || errno == EINVAL);
  if (!written) {
    failure_ = fmt::format("cannot write the log {}: {}", file_.string(), std::strerror(errno));
  }
}

}  // namespace quorvan::host
