// The dialog during a Start, under Xvfb: it names the stage in a line under the field, and what
// the user types or clicks meanwhile is dropped, not replayed after the Start.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <wx/button.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/gui/main_dialog.h"
#include "app/gui/service_tool_app.h"
#include "gui/gui_environment.h"
#include "gui/modal_driver.h"
#include "link/platform.h"
#include "reconfig/messages.h"
#include "support/posix_fixtures.h"
#include "support/process_runner.h"
#include "support/sim_session.h"
#include "support/simulator_process.h"

namespace quillon {
namespace {

using testing::ModalDriver;
using testing::PumpUntil;

TEST(DialogDuringAStart, NamesTheStageAndDropsTheKeysPressedMeanwhile) {
  QUILLON_REQUIRE_GUI();
  if (!testing::SimulatorProcess::Available()) GTEST_SKIP() << "the simulator was not built";
  testing::SimulatorProcess sim;
  std::string error;
  // Slow answers keep the search going past the half second: a named port's answer window ends
  // as soon as it has answered.
  ASSERT_TRUE(sim.Start({"--pty", "--serial", "1234", "--reply-delay", "300"}, &error)) << error;

  std::vector<std::string> stages;
  bool pressed = false;
  ModalDriver driver([&](MainDialog& dialog) {
    // Half a second into the Start: Escape, Enter, a click on "Start", and the stage shown.
    wxTimer timer;
    timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      stages.push_back(dialog.stageText().utf8_string());
      wxUIActionSimulator input;
      input.Char(WXK_ESCAPE);
      input.Char(WXK_RETURN);
      wxButton* start = dynamic_cast<wxButton*>(dialog.FindWindow(wxID_OK));
      input.MouseMove(start->GetScreenRect().GetPosition() + start->GetSize() / 2);
      input.MouseClick();
      pressed = true;
    });
    timer.StartOnce(500);
    // 4321 is nobody's number: the Start fails after its answer window and its three further
    // identify requests, and the dialog stays open.
    dialog.serialField().SetValue(4321);
    dynamic_cast<wxButton*>(dialog.FindWindow(wxID_OK))->SetFocus();
    wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
    dialog.GetEventHandler()->AddPendingEvent(click);
    ASSERT_TRUE(PumpUntil([&driver] { return driver.boxes.size() == 1; }, 15000));
    EXPECT_TRUE(pressed);
    // A replayed Enter would start again (its identify request goes out at once, the check
    // after the dialog counts them); a replayed Escape would close the dialog.
    testing::PumpFor(1000);
    EXPECT_TRUE(dialog.IsModal()) << "Escape from the Start was replayed";
    EXPECT_EQ(driver.boxes.size(), 1u) << "Enter from the Start was replayed";
    EXPECT_EQ(dialog.stageText(), "");
    EXPECT_FALSE(dialog.starting());
  });
  std::vector<std::string> args = {"quillon-reconfigurator", "--port", sim.PtyPath(), "--no-udp"};
  RunServiceTool(args, SystemHooks());
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kTextNotDetected);
  ASSERT_EQ(stages.size(), 1u);
  EXPECT_EQ(stages[0], "searching for the device\xE2\x80\xA6");
  EXPECT_EQ(testing::RequestKinds(sim), std::vector<std::string>(4, "identify"))
      << "only one Start ran";
}

// SIGTERM during a Start (a logout, a session manager ending the dialog): once the mode switch
// has gone out, command 4 reaches the device before the dialog ends, with the signal's status
// and no message box. With the outcome's box shown the device is done with: the dialog ends at
// once.
TEST(DialogDuringAStart, SigtermEndsTheDialogAndLeavesServiceModeFirst) {
  QUILLON_REQUIRE_GUI();
  if (!testing::SimulatorProcess::Available()) GTEST_SKIP() << "the simulator was not built";
  if (::access("/usr/bin/xdotool", X_OK) != 0) GTEST_SKIP() << "xdotool is not installed";
  struct Case {
    const char* what;
    bool boxShown;  // else: once the mode switch is logged
    std::vector<std::string> requests;
  };
  const Case cases[] = {
      {"after the mode switch", false, {"identify", "status", "mode", "svc4"}},
      {"with the outcome's box shown",
       true,
       {"identify", "status", "mode", "svc0", "svc5", "svc4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::SimulatorProcess sim;
    std::string error;
    // Serial number 0, the field's own value: Enter on the focused "Start" is the whole input.
    // Slow answers leave time to signal between the mode switch and the next request; the box
    // waits for the user by itself.
    ASSERT_TRUE(
        sim.Start({"--pty", "--serial", "0", "--reply-delay", c.boxShown ? "0" : "700"}, &error))
        << error;
    const auto logged = [&sim](const std::string& kind) {
      const std::vector<std::string> kinds = testing::RequestKinds(sim);
      return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
    };
    // The box has the dialog's caption: two visible windows of that name.
    const auto box_shown = [] {
      const auto found = testing::RunProcess(
          {"xdotool", "search", "--onlyvisible", "--name", std::string(kCaption)}, 5000);
      return std::count(found.out.begin(), found.out.end(), '\n') >= 2;
    };
    bool signalled = false;
    std::int64_t signalled_at = 0;
    const auto r = testing::RunProcess(
        {QUILLON_DIALOG_PATH, "--port", sim.LinkPath(), "--no-udp"}, 30000, [&](pid_t pid) {
          testing::RunProcess({"xdotool", "search", "--sync", "--onlyvisible", "--name",
                               std::string(kCaption), "windowfocus", "--sync", "key", "Return"},
                              10000);
          const std::int64_t end = SteadyClockMs() + 20000;
          while (!(c.boxShown ? box_shown() : logged("mode")) && SteadyClockMs() < end) {
            ::usleep(5000);
          }
          signalled = ::kill(pid, SIGTERM) == 0;
          signalled_at = SteadyClockMs();
        });
    EXPECT_TRUE(signalled);
    EXPECT_EQ(r.exitCode, 143) << r.err;
    if (c.boxShown) {
      EXPECT_LT(SteadyClockMs() - signalled_at, 1000) << "the box kept the dialog";
    }
    EXPECT_EQ(testing::RequestKinds(sim), c.requests);
  }
}

}  // namespace
}  // namespace quillon
