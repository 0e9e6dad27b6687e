#include "link/endpoint.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace quillon {
namespace {

TEST(Endpoint, CopiesNeverCloseAndClosingTwiceIsHarmless) {
  testing::FakePlatform platform;
  ScopedPlatform guard(platform);
  platform.Port(3);
  LinkEndpoint e;
  ResetEndpoint(e);
  EXPECT_FALSE(IsEndpointPresent(e));
  e.serialPort = OpenSerialPort(3);
  ASSERT_NE(e.serialPort, kInvalidSerialHandle);
  {
    LinkEndpoint copy = e;
    (void)copy;
  }
  EXPECT_TRUE(platform.Port(3).open);
  CloseEndpoint(e);
  EXPECT_FALSE(platform.Port(3).open);
  EXPECT_EQ(e.serialPort, kInvalidSerialHandle);
  CloseEndpoint(e);
  EXPECT_EQ(platform.Port(3).openCount, 1);
}

TEST(Endpoint, CloseWithoutPortEmptiesTheAddressOnly) {
  LinkEndpoint e;
  ASSERT_TRUE(SetPeerAddress(e, "192.168.100.200"));
  e.searchVerdict = Verdict::kInUse;
  EXPECT_TRUE(IsEndpointPresent(e));
  CloseEndpoint(e);
  EXPECT_FALSE(IsEndpointPresent(e));
  EXPECT_EQ(e.searchVerdict, Verdict::kInUse);
}

TEST(Endpoint, AddressesThatDoNotFitAreRefusedWhole) {
  LinkEndpoint e;
  EXPECT_TRUE(SetPeerAddress(e, "255.255.255.255"));
  EXPECT_FALSE(SetPeerAddress(e, "12345678901234567890"));
  EXPECT_FALSE(HasPeerAddress(e));
}

}  // namespace
}  // namespace quillon
