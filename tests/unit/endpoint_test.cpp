#include "link/endpoint.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace quillon {
namespace {

TEST(Endpoint, OnlyTheOwnerClosesThePortAndOnlyOnce) {
  testing::FakePlatform platform;
  const Link link(platform);
  platform.Port(3);
  LinkEndpoint e;
  ResetEndpoint(e);
  EXPECT_FALSE(IsEndpointPresent(e));
  {
    SerialPort owner;
    {
      SerialPort opened = OpenSerialPort(link, 3);
      ASSERT_TRUE(opened.IsOpen());
      owner = std::move(opened);
      e.serialPort = &owner;
      LinkEndpoint copy = e;
      (void)copy;
    }
    EXPECT_TRUE(platform.Port(3).open) << "neither a copy of the endpoint nor a moved-from owner";
    EXPECT_TRUE(IsEndpointPresent(e));
  }
  EXPECT_FALSE(platform.Port(3).open);
  EXPECT_EQ(platform.Port(3).openCount, 1);
}

TEST(Endpoint, ResetEmptiesPortAndAddress) {
  LinkEndpoint e;
  ASSERT_TRUE(SetPeerAddress(e, "192.168.100.200"));
  EXPECT_TRUE(IsEndpointPresent(e));
  ResetEndpoint(e);
  EXPECT_FALSE(IsEndpointPresent(e));
}

TEST(Endpoint, AddressesThatDoNotFitAreRefusedWhole) {
  LinkEndpoint e;
  EXPECT_TRUE(SetPeerAddress(e, "255.255.255.255"));
  EXPECT_FALSE(SetPeerAddress(e, "12345678901234567890"));
  EXPECT_FALSE(HasPeerAddress(e));
}

}  // namespace
}  // namespace quillon
