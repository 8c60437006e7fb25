// The real server against ecusim's MSE 1.1 controller: identification and a whole reflash
// through the command-line client, as a user runs them.
#include <fstream>

#include "e2e/SimulatorFixture.h"

namespace quorvan::testing {
namespace {

using Mse11 = SimulatorFixture;

TEST_F(Mse11, ConnectReadsTheIdentityAndFlashReprogramsAndVerifiesTheController) {
  startSimulator({"--device", "mse11"});
  const RunResult connect = quorvan("connect", "mse11");
  EXPECT_EQ(connect.code, 0) << connect.err;
  EXPECT_NE(connect.out.find("idCustomer: QUORVAN 11"), std::string::npos) << connect.out;
  EXPECT_NE(connect.out.find("idSoftware: Worked"), std::string::npos) << connect.out;

  const auto file = dir.path / "mse11.bin";
  std::string image;
  for (std::size_t i = 0; i < 63232; ++i)
    image.push_back(static_cast<char>((i * 31 + i / 250) & 0xFF));
  std::ofstream(file, std::ios::binary) << image;
  const RunResult flash = quorvan("flash", "mse11", {file.string()});
  EXPECT_EQ(flash.code, 0) << flash.err;
  EXPECT_NE(flash.out.find("253/253 blocks 100% flashReady"), std::string::npos) << flash.out;
  EXPECT_NE(flash.out.find(": flashReady"), std::string::npos) << flash.out;
  // The controller itself confirmed the sum of what it holds, then ended the communication.
  const std::string exchanges = ReadFile(dir.path / "ecusim.out");
  EXPECT_NE(exchanges.find("33 01 -> 73 01"), std::string::npos) << exchanges;
  EXPECT_NE(exchanges.find("82 -> C2"), std::string::npos);
}

TEST_F(Mse11, AnImageOfAnotherSizeIsRefusedBeforeAnythingIsSent) {
  startSimulator({"--device", "mse11"});
  const auto file = dir.path / "short.bin";
  std::ofstream(file, std::ios::binary) << std::string(1000, '\x55');
  const RunResult flash = quorvan("flash", "mse11", {file.string()});
  EXPECT_EQ(flash.code, 2);  // the image is a bad argument
  EXPECT_NE(flash.err.find("an MSE 1.1 image is 63232 bytes, this one 1000"), std::string::npos)
      << flash.err;
  EXPECT_EQ(ReadFile(dir.path / "ecusim.out").find("->"), std::string::npos);
}

}  // namespace
}  // namespace quorvan::testing
