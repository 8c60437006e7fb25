#include "host/cli/ClientCommands.h"

#include <fmt/format.h>

#include <algorithm>

#include "host/cli/ClientOutput.h"

namespace quorvan::host {

namespace {
constexpr std::chrono::milliseconds kRedraw{200};
}  // namespace

std::chrono::milliseconds SecondsToMs(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

SessionOptions SessionOptionsFor(const CliOptions& o) {
  SessionOptions s;
  s.device = o.device;
  s.port = o.port;
  s.debugMode = o.debug;
  s.timeout = SecondsToMs(o.timeoutSeconds);
  return s;
}

void PrintIdentification(EcuClient& client) {
  fmt::print("idHardware: {}\n", Printable(client.idHardware()));
  fmt::print("idSoftware: {}\n", Printable(client.idSoftware()));
  fmt::print("idCustomer: {}\n", Printable(client.idCustomer()));
}

nlohmann::json IdentificationJson(EcuClient& client) {
  return {{"idHardware", Printable(client.idHardware())},
          {"idSoftware", Printable(client.idSoftware())},
          {"idCustomer", Printable(client.idCustomer())}};
}

void PrintJson(const nlohmann::json& document) {
  fmt::print("{}\n", document.dump());
  std::fflush(stdout);
}

void ShowLive(EcuClient& client, std::optional<double> seconds,
              const std::function<std::vector<std::string>()>& drawing) {
  using Clock = std::chrono::steady_clock;
  LiveLines view(stdout);
  std::vector<std::string> shown;
  const auto end = seconds ? Clock::now() + SecondsToMs(*seconds) : Clock::time_point::max();
  while (!Interruption::raised() && Clock::now() < end) {
    if (auto lines = drawing(); lines != shown) {
      view.draw(lines);
      shown = std::move(lines);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    client.waitUntil([] { return false; }, std::min(kRedraw, left));
  }
  view.finish(drawing());
}

}  // namespace quorvan::host
