#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "catalog/Catalog.h"
#include "client/Enums.h"
#include "host/cli/WatchLog.h"
#include "support/ServerFixture.h"

namespace quorvan::host {
namespace {

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(WatchLog, FieldsAreQuotedOnlyWhenTheyMustBe) {
  const std::pair<const char*, const char*> cases[] = {
      {"0123/0133/", "0123/0133/"},     {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""}, {"", ""},
  };
  for (const auto& [field, written] : cases) EXPECT_EQ(CsvField(field), written) << field;
}

// A row per value as it comes: each one is in the file before the next arrives, so a
// session cut short keeps what it got.
TEST(WatchLog, EachRowIsInTheFileAsSoonAsItIsWritten) {
  const auto dir = testing::FreshTempDir();
  const auto file = dir / "ride.csv";
  const catalog::CatalogItem* rpm = catalog::FindItem(ecuVisteon, "rpm");
  const WatchRequest named{1, rpm->address, rpm->size, rpm->kind, 1, rpm};
  const WatchRequest raw{7, 0x40, 1, ecuData, 1};
  const WatchRequest faults{8, 0x300, 1, ecuFaults, 1};
  {
    WatchLog log(file);
    EXPECT_EQ(contents(file), "time_ms,item,raw,value,unit\n");
    log.write(4294967295u, named, DataReading(named, Variant(std::int32_t{6896})));
    EXPECT_EQ(contents(file), "time_ms,item,raw,value,unit\n4294967295,rpm,6896,1724,rpm\n");
    log.write(12, raw, DataReading(raw, Variant(std::int32_t{-3})));
    log.write(13, faults, FaultsReading("0123/0133/"));
    log.write(14, raw, DataReading(raw, Variant(std::string("\x01,"))));
    EXPECT_EQ(log.failure(), "");
  }
  EXPECT_EQ(contents(file),
            "time_ms,item,raw,value,unit\n"
            "4294967295,rpm,6896,1724,rpm\n"
            "12,0x00000040,-3,,\n"
            "13,0x00000300,0123/0133/,,\n"
            "14,0x00000040,01 2C,,\n");
  EXPECT_THROW(WatchLog(dir / "no" / "such" / "dir.csv"), std::runtime_error);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorvan::host
