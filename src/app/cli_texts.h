// What the command line says beside the dialog's messages (reconfig/messages.h): the lines of a
// Start of several devices, of --scan and of --leave-service-mode, and where a device was found.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::cli_text {

inline constexpr std::string_view kStagePrefix = "... ";

// A port's or an address's state in --scan (also the JSON's "state").
inline constexpr std::string_view kStateInUse = "in use by another program";
inline constexpr std::string_view kStateNotApplicable = "not applicable";
inline constexpr std::string_view kStateFree = "free";
inline constexpr std::string_view kScanConflict =
    "  (conflict: this serial number answers from more than one place)";

inline constexpr std::string_view kNoNetworkSocket = "No network: the socket could not be made.";

inline std::string FoundAt(const std::string& where) {
  return "The Quillon was found at " + where + ".";
}

inline std::string AlsoAnsweredAt(const std::string& place) {
  return "Its serial number also answered at " + place +
         ": the cable decides, nothing was sent there but the identify request.";
}

// After a device's outcome on its line in a Start of several.
inline std::string FoundAtShort(const std::string& where) {
  return " Found at " + where + ".";
}

inline std::string SeveralReconfigured(std::size_t done, std::size_t of) {
  return std::to_string(done) + " of " + std::to_string(of) + " Quillons were reconfigured.";
}

inline std::string CouldNotOpen(const std::string& where, const std::string& detail) {
  return where + " could not be opened: " + detail;
}

inline std::string LeftServiceMode(const std::string& where) {
  return "The Quillon at " + where + " has left its service mode.";
}

inline std::string NoServiceModeAnswer(const std::string& where) {
  return "No Quillon in service mode answered at " + where + ".";
}

}  // namespace quillon::cli_text
