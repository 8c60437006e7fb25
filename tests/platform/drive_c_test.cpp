#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/DriveC.h"

namespace quorvan {
namespace {

// Each way a file on drive C cannot be written is told with its reason, by both calls.
TEST(DriveC, TellsWhyAFileCannotBeWritten) {
  const auto root =
      std::filesystem::temp_directory_path() / ("drive-c-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root);
  std::ofstream(root / "file") << "a file where a directory should be";
  struct Case {
    const char* name;
    std::filesystem::path dir;
    const char* fileName;
    std::errc reason;
  };
  const Case cases[] = {
      {"drive below a regular file", root / "file" / "c", "EcuTrace.LOG",
       std::errc::not_a_directory},
      {"full disk", "/dev", "full", std::errc::no_space_on_device},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DriveC drive(c.dir);
    EXPECT_EQ(drive.tryAppend(c.fileName, "line\r\n"), c.reason);
    try {
      drive.append(c.fileName, "line\r\n");
      ADD_FAILURE() << "no failure";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), c.reason);
    }
  }
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace quorvan
