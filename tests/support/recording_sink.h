// Records what the tool tells the user.
#pragma once

#include <string>
#include <vector>

#include "reconfig/messages.h"

namespace quillon::testing {

struct Shown {
  std::string text;
  MessageStyle style = MessageStyle::kError;
};

class RecordingSink final : public MessageSink {
 public:
  void ShowMessage(std::string_view text, MessageStyle style) override {
    messages.push_back({std::string(text), style});
  }
  void Stage(std::string_view what) override { stages.emplace_back(what); }
  void BeginWait() override { ++waits; }
  void EndWait() override { --waits; }

  std::vector<Shown> messages;
  std::vector<std::string> stages;
  int waits = 0;
};

}  // namespace quillon::testing
