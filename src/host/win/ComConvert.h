#pragma once
// Values across the COM boundary. Byte strings travel as BSTRs with one character per
// byte (character code = byte value); a character above 255 cannot be a byte and reads
// as '?'. The client's Variant maps to VT_EMPTY, VT_I4, VT_BSTR or VT_ARRAY | VT_I4.
// windows.h first: the other system headers need it.
#include <windows.h>

#include <oleauto.h>

#include <string>

#include "client/Variant.h"

namespace quorvan::host::win {

BSTR BstrOfBytes(const std::string& bytes);
std::string BytesOfBstr(BSTR text);
std::wstring WideOfBytes(const std::string& bytes);

// Fills `out` (which must be empty or cleared) with `value`.
HRESULT VariantOf(const Variant& value, VARIANT* out);
// A Variant from what a client passed: numbers (any integer or real type), texts, arrays
// of numbers; a reference is followed. E_INVALIDARG for anything else.
HRESULT VariantFrom(const VARIANT& in, Variant& out);

inline VARIANT_BOOL BoolOf(bool b) {
  return b ? VARIANT_TRUE : VARIANT_FALSE;
}

}  // namespace quorvan::host::win
