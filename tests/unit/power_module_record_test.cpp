#include "reconfig/power_module_record.h"

#include <gtest/gtest.h>

#include "support/frames.h"

namespace quillon {
namespace {

TEST(PowerModuleRecord, DefaultsAreByteExact) {
  PowerModuleRecord r;
  EXPECT_EQ(std::vector<std::uint8_t>(r.bytes.begin(), r.bytes.end()),
            testing::Hex("12 00 05 00 00 00 00 00 88 13 88 13 E8 03 00 00 00 00 00 00"));
  EXPECT_EQ(r.recordLength(), 18);
  EXPECT_EQ(r.maxHighVoltage(), 5000);
}

TEST(PowerModuleRecord, CarriesDeviceValuesAndOnlyThose) {
  PowerModuleRecord r;
  testing::IdentifyFields f;
  f.moduleBlock[0] = 0xA1;
  f.moduleBlock[1] = 0xA2;
  f.moduleBlock[2] = 0xA3;
  f.moduleBlock[3] = 0xA4;
  f.moduleBlock[4] = 0xA5;
  r.FillFromIdentifyReply(testing::MakeIdentifyReply(f).data());
  r.FillFromStatusReply(testing::MakeStatusReply().data());
  r.setMaxHighVoltage(0x1234);
  r.setMaxHighVoltage(5000);
  EXPECT_EQ(std::vector<std::uint8_t>(r.bytes.begin(), r.bytes.end()),
            testing::Hex("12 00 A1 A2 A3 A4 A5 00 88 13 10 27 D0 07 03 04 05 06 00 00"));
}

}  // namespace
}  // namespace quillon
