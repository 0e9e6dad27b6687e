#include "reconfig/messages.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon {
namespace {

// Every reason in both front ends' words: the command line's are its own texts, and the dialog,
// which takes no --list-ports, never tells the user to run it.
TEST(Messages, EachFrontEndWordsAReasonWithTheOptionsItTakes) {
  struct Case {
    Reason reason;
    std::string commandLine;
    std::string dialog;
  };
  const Case cases[] = {
      {{Reason::Kind::kPortBusy, "COM2 (/dev/ttyUSB0)", "minicom, pid 4211"},
       "COM2 (/dev/ttyUSB0) was skipped: it is busy (minicom, pid 4211).",
       "COM2 (/dev/ttyUSB0) was skipped: it is busy (minicom, pid 4211)."},
      {{Reason::Kind::kNoNetworkSearched, {}, {}},
       "No network was searched: none of this computer's IPv4 networks has a broadcast address "
       "(--list-ports tells why); name the device's address with --address.",
       "No network was searched: none of this computer's IPv4 networks has a broadcast address. "
       "Connect this computer to the device's network, or the device to a serial port of this "
       "computer, then press Start again."},
      {{Reason::Kind::kNetworkKeptSending, {}, {}},
       "The network kept sending: the search stopped listening 10 s after its request, while "
       "datagrams were still arriving.",
       "The network kept sending: the search stopped listening 10 s after its request, while "
       "datagrams were still arriving."},
      {{Reason::Kind::kStoppedAnswering, "10.0.0.7", {}},
       "The Quillon at 10.0.0.7 stopped answering during the Start: is it still connected and "
       "switched on?",
       "The Quillon at 10.0.0.7 stopped answering during the Start: is it still connected and "
       "switched on?"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReasonText(c.reason, Wording::kCommandLine), c.commandLine);
    EXPECT_EQ(ReasonText(c.reason, Wording::kDialog), c.dialog);
  }
  // A denied port's fix is the platform's; the dialog's words name no option it lacks.
  const Reason denied{Reason::Kind::kPortDenied, "COM1 (/dev/ttyS4)", "dialout"};
  for (const Wording w : {Wording::kCommandLine, Wording::kDialog}) {
    EXPECT_EQ(ReasonText(denied, w).rfind("COM1 (/dev/ttyS4) was skipped: permission denied", 0),
              0u);
  }
  // The dialog is started from a menu: its words ask for no command-line option.
  for (const Case& c : cases) {
    EXPECT_EQ(ReasonText(c.reason, Wording::kDialog).find("--"), std::string::npos);
  }
  const SearchFailure two{.outcome = Outcome::kTwoDevices,
                          .twoAddresses = {"10.0.0.7", "10.0.0.8"}};
  EXPECT_EQ(SearchFailureText(two, Wording::kDialog).text.find("--"), std::string::npos);
  EXPECT_NE(SearchFailureText(two, Wording::kCommandLine).text.find("--address"),
            std::string::npos);
}

}  // namespace
}  // namespace quillon
