#pragma once
// Failures as the bus carries them. sd-bus calls our handlers from C: an exception other
// than sdbus::Error that escaped one would end the process through std::terminate.
#include <sdbus-c++/Error.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "host/common/BusNames.h"
#include "platform/Process.h"

namespace quorvan::host {

inline constexpr const char* kInvalidArgsError = "org.freedesktop.DBus.Error.InvalidArgs";

// An argument of a call that the host refuses before the class sees it.
class BadArgument : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A change asked for by a connection other than the client in charge; `clientName` (a
// byte string) is that client's name.
class ClientBusy : public std::runtime_error {
 public:
  explicit ClientBusy(const std::string& clientName);
};

// "org.quorvan.EcuQuorvanBT1.Error.x80040001" for 0x80040001.
std::string NumberedErrorName(std::uint32_t number);

// The bus error for a failure: the watch-table error keeps its number (in the name) and
// its source and description (in the message, "MSE1: ..."); a text or value the server
// cannot take (BadArgument, TextMappingError, BadVariantType) is InvalidArgs; a change
// refused to all but the client in charge (ClientBusy) is Error.Busy; anything else is
// Error.Failed with its description.
sdbus::Error ToBusError(std::exception_ptr failure);

// Runs a handler that sd-bus calls directly (a property read or write). Every failure
// leaves as sdbus::Error. The process end cannot unwind through sd-bus: it is kept in
// `end` for the loop to act on once sd-bus has returned.
template <typename Fn>
auto RunForBus(Fn&& fn, std::optional<ProcessEnd>& end) -> decltype(fn()) {
  try {
    return fn();
  } catch (const ProcessEnd& e) {
    end = e;
    throw sdbus::Error(std::string(kErrorPrefix) + "Ending", "The server is ending");
  } catch (...) {
    throw ToBusError(std::current_exception());
  }
}

}  // namespace quorvan::host
