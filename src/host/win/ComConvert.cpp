#include "host/win/ComConvert.h"

#include <vector>

namespace quorvan::host::win {

std::wstring WideOfBytes(const std::string& bytes) {
  std::wstring w;
  w.reserve(bytes.size());
  for (const char c : bytes) w.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return w;
}

BSTR BstrOfBytes(const std::string& bytes) {
  const std::wstring w = WideOfBytes(bytes);
  return ::SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

std::string BytesOfBstr(BSTR text) {
  std::string bytes;
  const UINT n = text ? ::SysStringLen(text) : 0;
  bytes.reserve(n);
  for (UINT i = 0; i < n; ++i) {
    const wchar_t c = text[i];
    bytes.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  }
  return bytes;
}

namespace {

HRESULT NumbersOf(const std::vector<std::int32_t>& numbers, VARIANT* out) {
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(numbers.size()));
  if (!array) return E_OUTOFMEMORY;
  for (LONG i = 0; i < static_cast<LONG>(numbers.size()); ++i) {
    LONG value = numbers[static_cast<std::size_t>(i)];
    ::SafeArrayPutElement(array, &i, &value);
  }
  V_VT(out) = VT_ARRAY | VT_I4;
  V_ARRAY(out) = array;
  return S_OK;
}

HRESULT NumbersFrom(SAFEARRAY* array, Variant& out) {
  if (!array || ::SafeArrayGetDim(array) != 1) return E_INVALIDARG;
  LONG lo = 0;
  LONG hi = -1;
  ::SafeArrayGetLBound(array, 1, &lo);
  ::SafeArrayGetUBound(array, 1, &hi);
  std::vector<std::int32_t> numbers;
  for (LONG i = lo; i <= hi; ++i) {
    LONG value = 0;
    if (FAILED(::SafeArrayGetElement(array, &i, &value))) return E_INVALIDARG;
    numbers.push_back(value);
  }
  out = Variant(std::move(numbers));
  return S_OK;
}

}  // namespace

HRESULT VariantOf(const Variant& value, VARIANT* out) {
  ::VariantInit(out);
  if (const auto* n = std::get_if<std::int32_t>(&value.value)) {
    V_VT(out) = VT_I4;
    V_I4(out) = *n;
  } else if (const auto* s = std::get_if<std::string>(&value.value)) {
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = BstrOfBytes(*s);
  } else if (const auto* a = std::get_if<std::vector<std::int32_t>>(&value.value)) {
    return NumbersOf(*a, out);
  }
  return S_OK;
}

HRESULT VariantFrom(const VARIANT& in, Variant& out) {
  VARIANT plain;
  ::VariantInit(&plain);
  if (FAILED(::VariantCopyInd(&plain, const_cast<VARIANT*>(&in)))) return E_INVALIDARG;
  HRESULT hr = S_OK;
  if (V_VT(&plain) == VT_EMPTY || V_VT(&plain) == VT_NULL) {
    out = Variant();
  } else if (V_VT(&plain) == VT_BSTR) {
    out = Variant(BytesOfBstr(V_BSTR(&plain)));
  } else if (V_VT(&plain) == (VT_ARRAY | VT_I4)) {
    hr = NumbersFrom(V_ARRAY(&plain), out);
  } else if (SUCCEEDED(::VariantChangeType(&plain, &plain, 0, VT_I4))) {
    out = Variant(static_cast<std::int32_t>(V_I4(&plain)));
  } else {
    hr = E_INVALIDARG;
  }
  ::VariantClear(&plain);
  return hr;
}

}  // namespace quorvan::host::win
