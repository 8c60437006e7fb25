#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host/server/BusErrors.h"
#include "host/server/ClientInCharge.h"

namespace quorvan::host {
namespace {

// The message a refused connection gets, or "" when it is let through.
std::string refusal(const ClientInCharge& inCharge, const std::string& owner) {
  try {
    inCharge.admit(owner);
    return "";
  } catch (const ClientBusy& e) {
    return e.what();
  }
}

TEST(ClientInCharge, BeforeAnyClientHasNamedItselfEveryConnectionMayChangeTheServer) {
  ClientInCharge inCharge;
  EXPECT_EQ(refusal(inCharge, ":1.7"), "");
  EXPECT_EQ(refusal(inCharge, ":1.9"), "");
}

TEST(ClientInCharge, OnlyTheConnectionThatNamedItselfMayChangeTheServerUntilItLetsGo) {
  struct Step {
    const char* what;
    std::function<void(ClientInCharge&)> act;
    std::string refusalOfOther;  // what :1.9 is told afterwards
  };
  const Step steps[] = {
      {"named", [](auto& c) { c.named(":1.7", "Diag"); }, "the server serves client 'Diag'"},
      {"renamed", [](auto& c) { c.named(":1.7", "Diag 2"); }, "the server serves client 'Diag 2'"},
      {"another leaves", [](auto& c) { c.gone(":1.9"); }, "the server serves client 'Diag 2'"},
      {"it leaves", [](auto& c) { c.gone(":1.7"); }, ""},
      {"named again", [](auto& c) { c.named(":1.7", "Diag"); }, "the server serves client 'Diag'"},
      {"names itself none", [](auto& c) { c.named(":1.7", ""); }, ""},
  };
  ClientInCharge inCharge;
  for (const Step& step : steps) {
    step.act(inCharge);
    EXPECT_EQ(refusal(inCharge, ":1.9"), step.refusalOfOther) << step.what;
    EXPECT_EQ(refusal(inCharge, ":1.7"), "") << step.what;
  }
}

TEST(ClientInCharge, TheRefusalIsErrorBusyAndNamesTheClientAsText) {
  ClientInCharge inCharge;
  inCharge.named(":1.7", "Diag \xE9");  // a byte string, as the class keeps names
  try {
    inCharge.admit(":1.9");
    FAIL() << "admitted";
  } catch (...) {
    const sdbus::Error e = ToBusError(std::current_exception());
    EXPECT_EQ(e.getName(), "org.quorvan.EcuQuorvanBT1.Error.Busy");
    EXPECT_EQ(e.getMessage(), "the server serves client 'Diag \xC3\xA9'");
  }
}

}  // namespace
}  // namespace quorvan::host
