#include "host/server/BusErrors.h"

#include <fmt/format.h>

#include "client/clsBoschECU.h"
#include "host/common/BusNames.h"
#include "host/common/TextMapping.h"
#include "host/common/VariantMapping.h"

namespace quorvan::host {

ClientBusy::ClientBusy(const std::string& clientName)
    : std::runtime_error("the server serves client '" + BytesToText(clientName) + "'") {}

std::string NumberedErrorName(std::uint32_t number) {
  return fmt::format("{}x{:08X}", kErrorPrefix, number);
}

sdbus::Error ToBusError(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const sdbus::Error& e) {
    return e;
  } catch (const WatchTableError& e) {
    return sdbus::Error(NumberedErrorName(e.number()), std::string(e.source()) + ": " + e.what());
  } catch (const BadArgument& e) {
    return sdbus::Error(kInvalidArgsError, e.what());
  } catch (const TextMappingError& e) {
    return sdbus::Error(kInvalidArgsError, e.what());
  } catch (const BadVariantType& e) {
    return sdbus::Error(kInvalidArgsError, e.what());
  } catch (const ClientBusy& e) {
    return sdbus::Error(std::string(kErrorPrefix) + "Busy", e.what());
  } catch (const std::exception& e) {
    return sdbus::Error(std::string(kErrorPrefix) + "Failed", e.what());
  } catch (...) {
    return sdbus::Error(std::string(kErrorPrefix) + "Failed", "Unknown failure");
  }
}

}  // namespace quorvan::host
