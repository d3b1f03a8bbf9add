// The scripted prompter's answers and records.
#include "tests/support/gui/scripted_prompter.h"

#include "platform/gui/main_thread.h"

CScriptedPrompter::CScriptedPrompter(std::deque<int> script)
    : answers(std::move(script)), previous_(SetPrompter(this)) {}

CScriptedPrompter::~CScriptedPrompter() {
  SetPrompter(previous_);
}

int CScriptedPrompter::MessageBox(QWidget*, const std::string& text, const std::string& caption, u32 type) {
  asked.push_back({text, caption, type, IsMainThread()});
  if (!answers.empty()) {
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  const int escape = BoxEscapeAnswer(type);
  return escape ? escape : BoxButtons(type).front();
}
