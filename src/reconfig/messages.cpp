#include "reconfig/messages.h"

#include "search/port_opening.h"

namespace quillon {

std::string WithReasons(std::string_view text, const std::vector<std::string>& reasons) {
  std::string message(text);
  for (std::size_t i = 0; i < reasons.size(); ++i) message += (i == 0 ? "\n\n" : "\n") + reasons[i];
  return message;
}

std::string ReasonText(const Reason& reason, Wording wording) {
  switch (reason.kind) {
    case Reason::Kind::kPortDenied:
      return reason.where + " was skipped: permission denied; to use it, " +
             SerialPermissionFix(reason.detail) + ".";
    case Reason::Kind::kPortBusy:
      return reason.where + " was skipped: it is busy (" + reason.detail + ").";
    case Reason::Kind::kNoNetworkSearched:
      // The dialog is started from a menu: it names what the user can do there, no option.
      return wording == Wording::kCommandLine
                 ? "No network was searched: none of this computer's IPv4 networks has a "
                   "broadcast address (--list-ports tells why); name the device's address with "
                   "--address."
                 : "No network was searched: none of this computer's IPv4 networks has a "
                   "broadcast address. Connect this computer to the device's network, or the "
                   "device to a serial port of this computer, then press Start again.";
    case Reason::Kind::kNetworkKeptSending:
      return "The network kept sending: the search stopped listening " +
             std::to_string(kMaxAnswerWindowMs / 1000) +
             " s after its request, while datagrams were still arriving.";
    case Reason::Kind::kTooManyOpenFiles:
      return reason.where + (reason.where == "1" ? " port" : " ports") +
             " could not be searched: too many open files (this process may open " + reason.detail +
             ").";
    case Reason::Kind::kNoSocket:
      return "No network was searched: the socket could not be made (" + reason.detail + ").";
    case Reason::Kind::kPortSlow:
      return reason.where + " did not open within " + std::to_string(kPortOpenBoundMs / 1000) +
             "." + std::to_string(kPortOpenBoundMs % 1000 / 100) + " s: not searched.";
    case Reason::Kind::kStoppedAnswering:
      return "The Quillon at " + reason.where +
             " stopped answering during the Start: is it still connected and switched on?";
  }
  return {};
}

std::vector<std::string> ReasonTexts(const std::vector<Reason>& reasons, Wording wording) {
  std::vector<std::string> texts;
  for (const Reason& reason : reasons) texts.push_back(ReasonText(reason, wording));
  return texts;
}

std::string_view StageText(SearchStage stage) {
  switch (stage) {
    case SearchStage::kReadingSettings:
      return "reading the device's settings";
    case SearchStage::kEnteringServiceMode:
      return "entering service mode";
  }
  return {};
}

SearchFailureMessage SearchFailureText(const SearchFailure& failure, Wording wording) {
  std::string_view text = kTextUnknownError;
  MessageStyle style = MessageStyle::kError;
  switch (failure.outcome) {
    case Outcome::kInterrupted:
      text = failure.leftServiceMode ? kTextInterruptedLeftServiceMode : kTextInterruptedUnchanged;
      break;
    case Outcome::kNotDetected:
      text = kTextNotDetected;
      style = MessageStyle::kInformation;
      break;
    case Outcome::kTwoDevices: {
      const std::vector<std::string>& places = failure.twoAddresses;
      return {std::string(kTextTwoDevices) + " " + places.at(0) + " and " + places.at(1) +
                  (wording == Wording::kCommandLine
                       ? ".\nChoose one with --address, or disconnect one of them."
                       : ".\nDisconnect one of them, then press Start again."),
              MessageStyle::kError};
    }
    case Outcome::kNotApplicable:
      text = kTextNotApplicable;
      break;
    case Outcome::kInUse:
      text = kTextInUse;
      break;
    case Outcome::kIncomplete:
    case Outcome::kReconfigured:
    case Outcome::kFailed:
      break;
  }
  return {WithReasons(text, ReasonTexts(failure.reasons, wording)), style};
}

}  // namespace quillon
