#include <gtest/gtest.h>

#include <string>

#include "host/common/TextMapping.h"

namespace quorvan::host {
namespace {

struct Encoding {
  std::string bytes;
  std::string text;
};

TEST(TextMapping, BytesTravelAsLatin1CharactersAndNulAsSymbolForNull) {
  const Encoding cases[] = {
      {std::string(1, '\0'), "\xE2\x90\x80"},  // U+2400
      {"\x7F", "\x7F"},
      {"\x80", "\xC2\x80"},
      {"\xFF", "\xC3\xBF"},
      {"A\xE9", "A\xC3\xA9"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BytesToText(c.bytes), c.text);
    EXPECT_EQ(TextToBytes(c.text), c.bytes);
  }
}

TEST(TextMapping, EveryByteValueSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string text = BytesToText(all);
  EXPECT_EQ(text.find('\0'), std::string::npos);  // a D-Bus string cannot hold NUL
  EXPECT_EQ(TextToBytes(text), all);
}

TEST(TextMapping, RefusesCharactersWithoutAByteValue) {
  const std::string refused[] = {
      "\xC4\x80",          // U+0100, first character past the byte range
      "ok\xE2\x82\xAC",    // U+20AC euro sign
      "\xE2\x90\x81",      // U+2401, beside the NUL stand-in
      "\xF0\x9F\x98\x80",  // U+1F600, four bytes
  };
  for (const auto& text : refused) {
    EXPECT_THROW(TextToBytes(text), TextMappingError) << text;
  }
  try {
    TextToBytes("ab\xC4\x80");
    FAIL();
  } catch (const TextMappingError& e) {
    EXPECT_NE(std::string(e.what()).find("U+0100"), std::string::npos) << e.what();
  }
}

TEST(TextMapping, RefusesMalformedUtf8) {
  const std::string malformed[] = {"\xC3", "\x80", "\xC3\x41", "\xFF", "\xE2\x90"};
  for (const auto& text : malformed) {
    EXPECT_THROW(TextToBytes(text), TextMappingError);
  }
}

}  // namespace
}  // namespace quorvan::host
