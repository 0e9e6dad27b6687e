// Everything the user is told, and the one place through which it is told.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "search/device_search.h"
#include "search/search_outcome.h"

namespace quillon {

inline constexpr std::string_view kCaption = "Quillon Power Module Reconfigurator";

// The device's tool has always shown these texts exactly so; technicians know them.
inline constexpr std::string_view kTextNotDetected = "The specified Quillon has been not detected.";
inline constexpr std::string_view kTextNotApplicable =
    "Error!\n\nThe specified Quillon is not applicable.";
inline constexpr std::string_view kTextInUse =
    "Error!\n\nThe specified Quillon is already in use by another program.";
inline constexpr std::string_view kTextUnknownError = "Unknown Error!";
inline constexpr std::string_view kTextSuccess = "The data has been successfully transfered.";
inline constexpr std::string_view kTextSocketInitFailed =
    "Fehler beim Initialisieren der Windows-Sockets.";

// Two devices answered with the wanted serial number: nothing is written to either.
inline constexpr std::string_view kTextTwoDevices =
    "Error!\n\nTwo devices answer with the specified serial number:";

// A Start that the user interrupted says what state the device is in.
inline constexpr std::string_view kTextInterruptedUnchanged =
    "Interrupted: the Quillon was not changed.";
inline constexpr std::string_view kTextInterruptedLeftServiceMode =
    "Interrupted: the Quillon was told to leave its service mode again; it was not changed.";
inline constexpr std::string_view kTextInterruptedWriting =
    "Interrupted while the record was being written: the write may or may not have taken "
    "effect. A new Start will tell.";
inline constexpr std::string_view kTextInterruptedWritten =
    "Interrupted after the record was written: it took effect, and the Quillon was told to "
    "leave its service mode.";

// The stages of a Start beyond those of the search (StageText).
inline constexpr std::string_view kTextStageSearching = "searching for the device";
inline constexpr std::string_view kTextStageWriting = "writing the power-module record";

// The message as the user reads it: the text and, after a blank line, what explains it where
// something does, one reason a line.
std::string WithReasons(std::string_view text, const std::vector<std::string>& reasons);

// The exact fix for a port that refuses the user (group: the device's owning group), in the
// platform's words (messages_posix.cpp, messages_win32.cpp).
std::string SerialPermissionFix(const std::string& group);

// Message box styles: exclamation icon or information icon, each with an OK button; the values
// are the system message box's own.
enum class MessageStyle {
  kError = 48,
  kInformation = 64,
};

// Which options a front end takes, so that a reason names only those the user can give.
enum class Wording {
  kDialog,       // --port, --no-serial, --no-udp, --address
  kCommandLine,  // those, and --list-ports
};

// A reason as the user reads it.
std::string ReasonText(const Reason& reason, Wording wording);
std::vector<std::string> ReasonTexts(const std::vector<Reason>& reasons, Wording wording);
// A stage of the search as the user reads it.
std::string_view StageText(SearchStage stage);

// The one message of a search that brought no device into service mode: its text (with the
// reasons after it) and its style.
struct SearchFailureMessage {
  std::string text;
  MessageStyle style = MessageStyle::kError;
};
SearchFailureMessage SearchFailureText(const SearchFailure& failure, Wording wording);

// Receives every user-visible outcome: message boxes in the dialog, standard output and error
// on the command line, a recorder in tests.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(std::string_view text, MessageStyle style) = 0;
  // How the reasons after a message are worded for this front end.
  virtual Wording wording() const { return Wording::kDialog; }
  // Progress of a Start, one call per stage.
  virtual void Stage(std::string_view /*what*/) {}
  // The wait cursor around a Start.
  virtual void BeginWait() {}
  virtual void EndWait() {}
};

}  // namespace quillon
