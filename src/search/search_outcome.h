// How a search ended, and what explains it, as values: the front ends put them into words.
#pragma once

#include <string>
#include <vector>

namespace quillon {

// How a Start ended, for scripts (the command line's exit status and --json).
enum class Outcome {
  kReconfigured,
  kNotDetected,
  kInUse,
  kNotApplicable,
  kIncomplete,  // the device did not complete an exchange: "Unknown Error!"
  kTwoDevices,
  kInterrupted,
  kFailed,  // anything else
};

// Something the user can act on that explains an outcome.
struct Reason {
  enum class Kind {
    kPortDenied,          // where: the port; detail: the group that may open it
    kPortBusy,            // where: the port; detail: who holds it
    kNoNetworkSearched,   // no local network has a broadcast address
    kNetworkKeptSending,  // the answer window was cut while datagrams still arrived
    kStoppedAnswering,    // where: the device, once found
    kTooManyOpenFiles,    // where: how many ports; detail: how many files this process may open
    kNoSocket,            // the network was not searched: the socket failed (detail: why)
    kPortSlow,            // where: a port still opening when the identify requests went out
  };
  Kind kind;
  std::string where;
  std::string detail;

  bool operator==(const Reason&) const = default;
};

// The stages of a search that the user is shown.
enum class SearchStage {
  kReadingSettings,
  kEnteringServiceMode,
};

// Told of each stage as the search reaches it.
class SearchObserver {
 public:
  virtual ~SearchObserver() = default;
  virtual void StageReached(SearchStage stage) = 0;
};

}  // namespace quillon
