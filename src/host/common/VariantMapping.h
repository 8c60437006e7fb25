#pragma once
// VARIANT values on the bus: a number travels as i, a byte string as ay, an array of
// numbers as ai; an empty value as an empty ai (D-Bus has no empty variant).
#include <sdbus-c++/Types.h>

#include <stdexcept>

#include "client/Variant.h"

namespace quorvan::host {

// A VARIANT of a D-Bus type that has no Variant counterpart.
class BadVariantType : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

sdbus::Variant ToBusVariant(const Variant& value);
// Also takes n (widened) and s (a text, through the byte mapping). Throws BadVariantType
// for any other D-Bus type.
Variant FromBusVariant(const sdbus::Variant& value);

}  // namespace quorvan::host
