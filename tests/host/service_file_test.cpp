#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "host/server/ServiceFile.h"
#include "support/ServerFixture.h"

namespace quorvan::host {
namespace {

TEST(ServiceFile, LivesUnderXdgDataHomeOrTheHomeDefault) {
  struct Case {
    std::optional<std::string> xdg;
    std::string expected;
  };
  const Case cases[] = {
      {"/data", "/data/dbus-1/services"},
      {std::nullopt, "/home/u/.local/share/dbus-1/services"},
      {"relative/dir", "/home/u/.local/share/dbus-1/services"},  // not absolute: ignored
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ServiceDirectory(c.xdg, "/home/u"), c.expected);
  }
}

TEST(ServiceFile, NamesTheBusNameAndTheServerPathQuotedWhenNeeded) {
  EXPECT_EQ(ServiceFileText("/usr/bin/EcuQuorvanBT"),
            "[D-BUS Service]\nName=org.quorvan.EcuQuorvanBT1\nExec=/usr/bin/EcuQuorvanBT\n");
  EXPECT_EQ(ServiceFileText("/opt/my tools/it's/EcuQuorvanBT"),
            "[D-BUS Service]\nName=org.quorvan.EcuQuorvanBT1\n"
            "Exec='/opt/my tools/it'\\''s/EcuQuorvanBT'\n");
}

TEST(ServiceFile, WritingCreatesTheDirectoryAndRemovingTellsWhetherThereWasOne) {
  const auto dir = testing::FreshTempDir() / "a" / "services";
  const auto file = WriteServiceFile(dir, "/usr/bin/EcuQuorvanBT");
  EXPECT_EQ(file, dir / "org.quorvan.EcuQuorvanBT1.service");
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            ServiceFileText("/usr/bin/EcuQuorvanBT"));
  EXPECT_TRUE(RemoveServiceFile(dir));
  EXPECT_FALSE(RemoveServiceFile(dir));
  std::filesystem::remove_all(dir.parent_path().parent_path());
}

}  // namespace
}  // namespace quorvan::host
