#pragma once
// The CSV log of `quorvan watch --csv`: a header, then one row per value received, each
// written through to the disk as it comes, so that a session cut short by a pulled plug
// loses at most the row being written.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "host/cli/ClientOutput.h"
#include "host/cli/QuorvanCli.h"

namespace quorvan::host {

// A field as CSV wants it: quoted (quotes doubled) when it holds a comma, a quote or a
// line end.
std::string CsvField(std::string_view text);
// "1234,rpm,6896,1724,rpm" for a value of that item at that time stamp.
std::string CsvRow(std::uint32_t timeMs, const WatchRequest& request, const Reading& reading);

class WatchLog {
 public:
  static constexpr const char* kHeader = "time_ms,item,raw,value,unit";

  // Creates or replaces the file and writes the header. Throws std::runtime_error when it
  // cannot.
  explicit WatchLog(const std::filesystem::path& file);
  ~WatchLog();
  WatchLog(const WatchLog&) = delete;
  WatchLog& operator=(const WatchLog&) = delete;

  // Written from the server's events, so it never throws: a row that cannot be written
  // ends the log and leaves failure() to say why.
  void write(std::uint32_t timeMs, const WatchRequest& request, const Reading& reading);
  const std::string& failure() const { return failure_; }

 private:
  void put(const std::string& line);

  std::filesystem::path file_;
  std::FILE* out_;
  std::string failure_;
};

}  // namespace quorvan::host
