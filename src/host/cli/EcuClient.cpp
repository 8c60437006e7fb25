#include "host/cli/EcuClient.h"

#include <poll.h>

#include <algorithm>
#include <csignal>

#include "host/common/BusNames.h"
#include "host/common/TextMapping.h"
#include "host/common/VariantMapping.h"

namespace quorvan::host {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onInterrupt(int) {
  gInterrupted = 1;
}

}  // namespace

bool IsUnanswered(const sdbus::Error& error) {
  return error.getName() == "org.freedesktop.DBus.Error.Timeout";
}

void Interruption::catchSignals() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a poll() in progress returns at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A closed terminal too: what a command started (the demo's simulator and bus) must
  // still be ended by it.
  sigaction(SIGHUP, &action, nullptr);
}

bool Interruption::raised() {
  return gInterrupted != 0;
}

class EcuClient::BusProxy final : public sdbus::ProxyInterfaces<EcuClient::Proxy> {
 public:
  BusProxy(sdbus::IConnection& connection, EcuEvents& events)
      : ProxyInterfaces(connection, kBusName, kObjectPath), events_(events) {
    registerProxy();
  }
  ~BusProxy() { unregisterProxy(); }
  BusProxy(const BusProxy&) = delete;
  BusProxy& operator=(const BusProxy&) = delete;

  void closePortWithoutWaiting() {
    getProxy()
        .callMethod("InitComm")
        .onInterface(EcuClient::Proxy::INTERFACE_NAME)
        .withArguments(std::int16_t{-1})
        .dontExpectReply();
  }

 private:
  // A signal the server sends with a value this side cannot read is dropped.
  template <typename Fn>
  static void deliver(Fn fn) {
    try {
      fn();
    } catch (const std::invalid_argument&) {
    }
  }

  void onCommStatus(const int32_t& signal) override {
    if (events_.commStatus) events_.commStatus(signal);
  }
  void onNewData(const int16_t& itemNum, const int32_t& timeStamp,
                 const sdbus::Variant& rawData) override {
    if (!events_.newData) return;
    deliver([&] { events_.newData(itemNum, timeStamp, FromBusVariant(rawData)); });
  }
  void onNewFaults(const int16_t& itemNum, const int32_t& timeStamp,
                   const std::string& faultCodes) override {
    if (!events_.newFaults) return;
    deliver([&] { events_.newFaults(itemNum, timeStamp, TextToBytes(faultCodes)); });
  }
  void onNewFlags(const int16_t& itemNum, const int32_t& timeStamp,
                  const int32_t& rawFlags) override {
    if (events_.newFlags) events_.newFlags(itemNum, timeStamp, rawFlags);
  }
  void onFaultsCleared(const bool& success) override {
    if (events_.faultsCleared) events_.faultsCleared(success);
  }
  void onCommandComplete(const bool& success) override {
    if (events_.commandComplete) events_.commandComplete(success);
  }
  void onDamnIt(const std::string& note) override {
    if (!events_.damnIt) return;
    deliver([&] { events_.damnIt(TextToBytes(note)); });
  }

  EcuEvents& events_;
};

EcuClient::EcuClient(std::chrono::milliseconds callTimeout)
    : EcuClient(sdbus::createSessionBusConnection(), callTimeout) {}

EcuClient::EcuClient(std::unique_ptr<sdbus::IConnection> connection,
                     std::chrono::milliseconds callTimeout)
    : callTimeout_(std::max(callTimeout, kShortestCall)),
      connection_(std::move(connection)),
      proxy_(std::make_unique<BusProxy>(*connection_, events_)) {
  connection_->setMethodCallTimeout(callTimeout_);
}

EcuClient::~EcuClient() = default;

EcuClient::Proxy& EcuClient::proxy() {
  return *proxy_;
}

void EcuClient::setClientName(const std::string& name) {
  proxy_->ClientName(BytesToText(name));
}
std::string EcuClient::ClientName() {
  return TextToBytes(proxy_->ClientName());
}
std::string EcuClient::idHardware() {
  return TextToBytes(proxy_->idHardware());
}
std::string EcuClient::idSoftware() {
  return TextToBytes(proxy_->idSoftware());
}
std::string EcuClient::idCustomer() {
  return TextToBytes(proxy_->idCustomer());
}
std::string EcuClient::ecuResults() {
  return TextToBytes(proxy_->ecuResults());
}
Variant EcuClient::Results() {
  // Properties.Get wraps the value in a variant of its own; a VARIANT property therefore
  // comes as a variant in a variant.
  sdbus::Variant value = proxy_->Results();
  if (value.containsValueOfType<sdbus::Variant>()) value = value.get<sdbus::Variant>();
  return FromBusVariant(value);
}
std::string EcuClient::GetInfo(std::int16_t index) {
  return TextToBytes(proxy_->GetInfo(index));
}
void EcuClient::TellClient(const std::string& note) {
  proxy_->TellClient(BytesToText(note));
}
void EcuClient::FlashWrite(const std::string& block) {
  proxy_->FlashWrite(std::vector<std::uint8_t>(block.begin(), block.end()));
}
Variant EcuClient::FlashIdent() {
  return FromBusVariant(proxy_->FlashIdent());
}
void EcuClient::closePortWithoutWaiting() {
  proxy_->closePortWithoutWaiting();
}

void EcuClient::dispatchPending() {
  while (connection_->processPendingRequest()) {
  }
}

bool EcuClient::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    dispatchPending();
    if (done()) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || Interruption::raised()) return false;
    const auto data = connection_->getEventLoopPollData();
    int wait = static_cast<int>(left.count());
    if (const int busWait = data.getPollTimeout(); busWait >= 0) wait = std::min(wait, busWait);
    pollfd fd{data.fd, data.events, 0};
    ::poll(&fd, 1, wait);
  }
}

}  // namespace quorvan::host
