// quorvan as a newcomer uses it against ecusim: readings by name, a CSV log, JSON for
// scripts; and the Python example client, run as its README shows it.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "e2e/SimulatorFixture.h"

namespace quorvan::testing {
namespace {

std::vector<std::string> textLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The field of a CSV row (no quoted fields in these rows).
std::vector<std::string> fields(const std::string& row) {
  std::vector<std::string> out;
  std::istringstream in(row);
  for (std::string f; std::getline(in, f, ',');) out.push_back(f);
  if (!row.empty() && row.back() == ',') out.emplace_back();
  return out;
}

TEST_F(SimulatorFixture, ReadingsAreWatchedByNameAndLoggedRowByRow) {
  startSimulator({});
  const auto csv = dir.path / "ride.csv";
  const RunResult r = quorvan("watch", "visteon",
                              {"--item", "rpm", "--item", "Coolant", "--item", "throttle:2",
                               "--csv", csv.string(), "--seconds", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("rpm"), std::string::npos) << r.out;
  const auto rows = textLines(ReadFile(csv));
  ASSERT_GT(rows.size(), 5u) << ReadFile(csv);
  EXPECT_EQ(rows[0], "time_ms,item,raw,value,unit");
  std::set<std::string> seen;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const auto f = fields(rows[i]);
    ASSERT_EQ(f.size(), 5u) << rows[i];
    seen.insert(f[1]);
    const double value = std::stod(f[3]);
    if (f[1] == "rpm") {  // the simulated engine idles fast and blips its throttle
      EXPECT_EQ(f[4], "rpm");
      EXPECT_NEAR(value, 1500, 900) << rows[i];
      EXPECT_NEAR(std::stod(f[2]) / 4, value, 0.5) << rows[i];
    } else if (f[1] == "coolant") {
      EXPECT_EQ(f[4], "°C");
      EXPECT_NEAR(value, 20, 5) << rows[i];  // a cold start
    } else {
      EXPECT_EQ(f[1], "throttle");
      EXPECT_NEAR(value, 20, 20) << rows[i];
    }
  }
  EXPECT_EQ(seen, (std::set<std::string>{"rpm", "coolant", "throttle"}));
}

TEST_F(SimulatorFixture, IdentityAndFaultsComeAsJson) {
  startSimulator({});
  const RunResult ident = quorvan("ident", "visteon", {"--json"});
  ASSERT_EQ(ident.code, 0) << ident.err;
  const auto id = nlohmann::json::parse(ident.out);
  EXPECT_EQ(id["idSoftware"], "PVM-100 (BE 1F B8 10)");
  EXPECT_EQ(id["idHardware"], "Visteon Controller");

  const RunResult faults = quorvan("faults", "visteon", {"--json"});
  ASSERT_EQ(faults.code, 0) << faults.err;
  EXPECT_EQ(nlohmann::json::parse(faults.out)["faults"], nlohmann::json::array({"0123", "0133"}));

  const RunResult unknown = quorvan("watch", "visteon", {"--item", "boost"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(textLines(unknown.err).size(), 1u) << unknown.err;
}

TEST_F(SimulatorFixture, TheExampleClientConnectsWatchesAndReadsFaults) {
  startSimulator({});
  const RunResult r =
      bus.run({std::string(QUORVAN_EXAMPLES_DIR) + "/quorvan_client.py", "--device", "visteon",
               "--port", std::to_string(port), "--quorvan", kClientProgram, "--seconds", "2"});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("idSoftware: PVM-100 (BE 1F B8 10)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" rpm "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" coolant "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("fault codes: 0123 0133"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace quorvan::testing
