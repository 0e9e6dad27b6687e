#include "link/command_packet.h"

#include <gtest/gtest.h>

#include "link/wire.h"
#include "support/frames.h"

namespace quillon {
namespace {

using testing::Hex;

TEST(CommandPacket, RequestsAreByteExact) {
  EXPECT_EQ(std::vector<std::uint8_t>(kIdentifyRequest.begin(), kIdentifyRequest.end()),
            Hex("A5 5A 01 01 00 00 00 00 00 00 B9 9B"));
  EXPECT_EQ(std::vector<std::uint8_t>(kStatusRequest.begin(), kStatusRequest.end()),
            Hex("A5 5A 59 00 00 00 00 00 00 00 B9 9B"));
  const CommandPacket mode = MakeModeSwitchRequest();
  EXPECT_EQ(std::vector<std::uint8_t>(mode.begin(), mode.end()),
            Hex("A5 5A FF FF 00 00 00 00 00 00 B9 9B"));
}

TEST(CommandPacket, ChecksumOfTheWorkedReplies) {
  // Markers and the identify echo alone.
  CommandReply r{};
  PutU16(r.data(), 0, 0x5AA5);
  PutU16(r.data(), 134, 0x9BB9);
  r[108] = 0x01;
  r[109] = 0x01;
  SealReply(r.data());
  EXPECT_EQ(r[128], 0x5F);
  EXPECT_EQ(r[129], 0xF7);
  EXPECT_TRUE(IsValidReply(r.data(), kIdentifyRequest));

  PutU16(r.data(), 2, 1);
  PutU16(r.data(), 46, 1234);
  SealReply(r.data());
  EXPECT_EQ(GetU16(r.data(), 128), 0xFC32);
  EXPECT_TRUE(IsValidReply(r.data(), kIdentifyRequest));
}

TEST(CommandPacket, SumWrapsAroundSixteenBits) {
  CommandReply r = testing::MakeReply(kIdentifyRequest);
  for (std::size_t i = 10; i < 40; ++i) r[i] = 0xFF;  // far more than 65535 in all
  SealReply(r.data());
  EXPECT_TRUE(IsValidReply(r.data(), kIdentifyRequest));
}

TEST(CommandPacket, ValidationRejectsEachBrokenPart) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
    bool reseal;
  };
  const Case cases[] = {
      {"start marker", 0, 0xA4, true}, {"start marker high", 1, 0x5B, true},
      {"end marker", 134, 0xB8, true}, {"end marker high", 135, 0x9A, true},
      {"echo first", 108, 0x02, true}, {"echo last", 115, 0x01, true},
      {"checksum", 128, 0x00, false},  {"any word unsealed", 20, 0x01, false},
  };
  for (const Case& c : cases) {
    CommandReply r = testing::MakeIdentifyReply({});
    r[c.offset] = c.value;
    if (c.reseal) SealReply(r.data());
    EXPECT_FALSE(IsValidReply(r.data(), kIdentifyRequest)) << c.what;
  }
}

TEST(CommandPacket, ReplyToOneRequestIsNoReplyToAnother) {
  const CommandReply identify = testing::MakeIdentifyReply({});
  const CommandReply status = testing::MakeStatusReply();
  EXPECT_TRUE(IsValidReply(identify.data(), kIdentifyRequest));
  EXPECT_FALSE(IsValidReply(identify.data(), kStatusRequest));
  EXPECT_TRUE(IsValidReply(status.data(), kStatusRequest));
  EXPECT_FALSE(IsValidReply(status.data(), kIdentifyRequest));
}

TEST(CommandPacket, DatagramUnwrapping) {
  const auto good = testing::AsDatagram(testing::MakeIdentifyReply({}));
  struct Case {
    const char* what;
    long length;
    std::uint16_t port;
    std::uint8_t prefix0;
    bool accepted;
  };
  const Case cases[] = {
      {"reply", 138, 50000, 0xA5, true},       {"wrong port", 138, 50001, 0xA5, false},
      {"bad prefix", 138, 50000, 0xA6, false}, {"bare reply", 136, 50000, 0xA5, false},
      {"one more", 139, 50000, 0xA5, false},   {"empty", 0, 50000, 0xA5, false},
  };
  for (const Case& c : cases) {
    auto d = good;
    d.resize(std::max<std::size_t>(d.size(), static_cast<std::size_t>(c.length)));
    d[0] = c.prefix0;
    const std::uint8_t* reply = UnwrapReplyDatagram(d.data(), c.length, c.port);
    EXPECT_EQ(reply != nullptr, c.accepted) << c.what;
    if (reply) {
      EXPECT_TRUE(IsValidReply(reply, kIdentifyRequest)) << c.what;
    }
  }
}

TEST(CommandPacket, FieldReads) {
  testing::IdentifyFields f;
  f.presence = 0x0102;
  f.applicabilityA = 3;
  f.serial = 65535;
  f.useOverride = 9;
  f.useCount = -2;
  f.moduleBlock[3] = 0x34;
  f.moduleBlock[4] = 0x12;
  const CommandReply r = testing::MakeIdentifyReply(f);
  EXPECT_EQ(ReplyPresenceWord(r.data()), 0x0102);
  EXPECT_EQ(ReplyApplicabilityA(r.data()), 3);
  EXPECT_EQ(ReplySerialNumber(r.data()), 65535);
  EXPECT_EQ(ReplyUseOverride(r.data()), 9);
  EXPECT_EQ(ReplyUseCount(r.data()), -2);
  EXPECT_EQ(ReplyApplicabilityB(r.data()), 0x1234);
}

}  // namespace
}  // namespace quillon
