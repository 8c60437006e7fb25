// The class is described twice: for D-Bus clients (dbus/org.quorvan.EcuQuorvanBT1.xml)
// and for COM clients (com/EcuQuorvanBT.idl, the Windows server's type library). Both
// must publish the same members with the same dispatch ids, and the same enumerations
// with the values the engine uses, or a compiled client of one of them breaks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "client/Enums.h"
#include "support/Regex.h"

namespace quorvan {
namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::filesystem::path(QUORVAN_SOURCE_DIR) / relative);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A member as clients bind to it: what kind of access, by which dispatch id.
struct Member {
  std::string name;
  std::string kind;  // "get", "put", "method", "event"
  long id;
  bool operator<(const Member& o) const {
    return std::tie(name, kind, id) < std::tie(o.name, o.kind, o.id);
  }
  bool operator==(const Member& o) const = default;
};

void PrintTo(const Member& m, std::ostream* os) {
  *os << m.name << " " << m.kind << " 0x" << std::hex << m.id;
}

using Enumerations = std::map<std::string, std::map<std::string, long>>;

// The text between the line opening `start` and the matching closing brace.
std::string Block(const std::string& text, const std::string& start) {
  const auto at = text.find(start);
  if (at == std::string::npos) return {};
  const auto open = text.find('{', at);
  int depth = 0;
  for (auto i = open; i < text.size(); ++i) {
    if (text[i] == '{') ++depth;
    if (text[i] == '}' && --depth == 0) return text.substr(open, i - open);
  }
  return {};
}

std::set<Member> IdlMembers(const std::string& idl) {
  std::set<Member> members;
  const std::regex method(
      R"(\[id\((0x[0-9A-Fa-f]+|\d+)\)(?:,\s*(propget|propput))?\]\s*(?:HRESULT|void)\s+(\w+)\s*\()");
  const std::string dispatch = Block(idl, "interface _clsBoschECU");
  for (std::sregex_iterator it(dispatch.begin(), dispatch.end(), method), end; it != end; ++it) {
    const auto& m = *it;
    const std::string kind = m[2] == "propget" ? "get" : m[2] == "propput" ? "put" : "method";
    members.insert({m[3], kind, std::stol(m[1], nullptr, 0)});
  }
  const std::string events = Block(idl, "dispinterface __clsBoschECU");
  for (std::sregex_iterator it(events.begin(), events.end(), method), end; it != end; ++it) {
    members.insert({(*it)[3], "event", std::stol((*it)[1], nullptr, 0)});
  }
  return members;
}

std::set<Member> XmlMembers(const std::string& xml) {
  std::set<Member> members;
  const std::regex element(
      R"re(<(property|method|signal) name="(\w+)"(?: type="[^"]*" access="(\w+)")?>\s*<annotation name="org\.quorvan\.DispatchId" value="(\w+)"/>)re");
  for (std::sregex_iterator it(xml.begin(), xml.end(), element), end; it != end; ++it) {
    const auto& m = *it;
    const long id = std::stol(m[4], nullptr, 0);
    if (m[1] == "property") {
      members.insert({m[2], "get", id});
      if (m[3] == "readwrite") members.insert({m[2], "put", id});
    } else {
      members.insert({m[2], m[1] == "method" ? "method" : "event", id});
    }
  }
  return members;
}

Enumerations IdlEnumerations(const std::string& idl) {
  Enumerations enums;
  const std::regex typedefEnum(R"(enum\s+(\w+)\s*\{([^}]*)\})");
  const std::regex value(R"((\w+)\s*=\s*(\d+))");
  for (std::sregex_iterator it(idl.begin(), idl.end(), typedefEnum), end; it != end; ++it) {
    const std::string body = (*it)[2];
    auto& e = enums[(*it)[1]];
    for (std::sregex_iterator v(body.begin(), body.end(), value); v != end; ++v) {
      e[(*v)[1]] = std::stol((*v)[2]);
    }
  }
  return enums;
}

// The comment's table: an enumeration's name opens a line, "name value," pairs follow.
Enumerations XmlEnumerations(const std::string& xml) {
  Enumerations enums;
  const auto from = xml.find("Enumerations:");
  const auto to = xml.find("\n\n", from);
  std::istringstream lines(xml.substr(from, to - from));
  const std::regex opening(R"(^    (\w+)\s+(.*)$)");
  const std::regex pair(R"((\w+) (\d+))");
  std::string line;
  std::string current;
  while (std::getline(lines, line)) {
    std::smatch m;
    std::string rest = line;
    if (std::regex_match(line, m, opening)) {
      current = m[1];
      rest = m[2];
    }
    for (std::sregex_iterator v(rest.begin(), rest.end(), pair), end; v != end; ++v) {
      enums[current][(*v)[1]] = std::stol((*v)[2]);
    }
  }
  return enums;
}

class InterfaceDescriptions : public ::testing::Test {
 protected:
  const std::string idl = ReadSource("com/EcuQuorvanBT.idl");
  const std::string xml = ReadSource("dbus/org.quorvan.EcuQuorvanBT1.xml");
};

TEST_F(InterfaceDescriptions, PublishTheSameMembersWithTheSameDispatchIds) {
  const std::set<Member> com = IdlMembers(idl);
  const std::set<Member> bus = XmlMembers(xml);
  // The class has 15 properties (6 writable), 4 public variables (writable), 20 methods
  // and 7 events: a parse that finds less has missed something.
  ASSERT_EQ(com.size(), 15u + 6u + 2 * 4u + 20u + 7u);
  EXPECT_THAT(bus, ::testing::ContainerEq(com));
}

TEST_F(InterfaceDescriptions, PublishTheEnumerationsWithTheEnginesValues) {
  const Enumerations engine = {
      {"ecuStatus",
       {{"ecuReady", ecuReady},
        {"ecuNoCable", ecuNoCable},
        {"ecuNoPower", ecuNoPower},
        {"ecuNoCableOrPower", ecuNoCableOrPower},
        {"ecuNoComm", ecuNoComm},
        {"ecuCableDetected", ecuCableDetected},
        {"ecuInitializing", ecuInitializing},
        {"ecuCommOK", ecuCommOK},
        {"ecuCommLost", ecuCommLost},
        {"ecuRunSwitchOff", ecuRunSwitchOff},
        {"ecuFinished", ecuFinished},
        {"ecuWrongCable", ecuWrongCable},
        {"ecuNoSerialCable", ecuNoSerialCable},
        {"ecuNoVehicleCable", ecuNoVehicleCable}}},
      {"ecuKind",
       {{"ecuFaults", ecuFaults},
        {"ecuFlags", ecuFlags},
        {"ecuData", ecuData},
        {"ecuClear", ecuClear},
        {"ecuIdle", ecuIdle}}},
      {"ecuDevices",
       {{"ecuMSE10", ecuMSE10},
        {"ecuMSE11", ecuMSE11},
        {"ecuVisteon", ecuVisteon},
        {"ecuFicht", ecuFicht},
        {"ecuWeber7A", ecuWeber7A},
        {"ecuWeber11", ecuWeber11},
        {"ecuKokusan", ecuKokusan},
        {"ecuWeberM7", ecuWeberM7},
        {"ecuMBE", ecuMBE}}},
      {"FlashModes",
       {{"flashIdle", flashIdle},
        {"flashBusy", flashBusy},
        {"flashReady", flashReady},
        {"flashFailedPrep", flashFailedPrep},
        {"flashFailedUnlock", flashFailedUnlock},
        {"flashFailedErase", flashFailedErase},
        {"flashFailedWrite", flashFailedWrite},
        {"flashFailedVerify", flashFailedVerify},
        {"flashFailedLowBatt", flashFailedLowBatt},
        {"flashFailedNoPE", flashFailedNoPE}}},
  };
  EXPECT_EQ(IdlEnumerations(idl), engine);
  EXPECT_EQ(XmlEnumerations(xml), engine);
}

}  // namespace
}  // namespace quorvan
