#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/common/VariantMapping.h"

namespace quorvan::host {
namespace {

TEST(VariantMapping, EachKindTravelsAsItsOwnDBusType) {
  struct Case {
    Variant value;
    std::string signature;
  };
  const Case cases[] = {
      {Variant(std::int32_t{-5}), "i"},
      {Variant(std::string("\x00\xFF\x10", 3)), "ay"},
      {Variant(std::vector<std::int32_t>{1, -2, 70000}), "ai"},
  };
  for (const auto& c : cases) {
    const sdbus::Variant bus = ToBusVariant(c.value);
    EXPECT_EQ(bus.peekValueType(), c.signature);
    EXPECT_EQ(FromBusVariant(bus), c.value) << c.signature;
  }
}

TEST(VariantMapping, EmptyTravelsAsAnEmptyArrayOfNumbers) {
  const sdbus::Variant bus = ToBusVariant(Variant());
  EXPECT_EQ(bus.peekValueType(), "ai");
  EXPECT_TRUE(bus.get<std::vector<std::int32_t>>().empty());
}

TEST(VariantMapping, TakesSixteenBitNumbersAndTextsFromClients) {
  EXPECT_EQ(FromBusVariant(sdbus::Variant(std::int16_t{-7})), Variant(std::int32_t{-7}));
  EXPECT_EQ(FromBusVariant(sdbus::Variant(std::string("\xE2\x90\x80\xC3\xBF"))),
            Variant(std::string("\x00\xFF", 2)));
}

TEST(VariantMapping, RefusesOtherTypes) {
  EXPECT_THROW(FromBusVariant(sdbus::Variant(1.5)), BadVariantType);
  EXPECT_THROW(FromBusVariant(sdbus::Variant(std::uint32_t{1})), BadVariantType);
}

}  // namespace
}  // namespace quorvan::host
