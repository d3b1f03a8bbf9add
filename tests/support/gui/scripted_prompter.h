// A prompter for tests: answers boxes from a script and records what was asked.
#pragma once

#include "platform/gui/message_box.h"

#include <deque>
#include <string>
#include <vector>

// Replaces the real prompter while it lives. An exhausted script answers with the box's
// escape answer, or its first button when it has none.
class CScriptedPrompter : public IPrompter {
 public:
  struct Asked {
    std::string text, caption;
    u32 type = 0;
    bool onMainThread = false;
  };

  explicit CScriptedPrompter(std::deque<int> answers = {});
  ~CScriptedPrompter() override;

  int MessageBox(QWidget* parent, const std::string& text, const std::string& caption, u32 type) override;

  std::deque<int> answers;
  std::vector<Asked> asked;

 private:
  IPrompter* previous_;
};
