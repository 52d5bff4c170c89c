// Dialogs for the console tests: scripted answers and field edits, recorded texts.
#pragma once

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "server/ConsoleDialogs.h"

namespace velnor::test {

/// Answers questions from a script (No once it runs out) and records every text shown.
class ScriptedDialogs : public ConsoleDialogs {
public:
    bool AskYesNo(const char* question, DefaultAnswer) noexcept override {
        questions.push_back(question);
        if (answers.empty())
            return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void ShowMessage(const char* text) noexcept override { messages.push_back(text); }
    bool EditField(const char* label, char* value, std::size_t capacity) noexcept override {
        fields.push_back(label);
        if (edits.empty())
            return false;
        std::snprintf(value, capacity, "%s", edits.front().c_str());
        edits.pop_front();
        return true;
    }
    bool interactive() const noexcept override { return person; }
    platform::StopRequest stopRequest() const noexcept override {
        return platform::StopRequest::None;
    }

    bool person = false;
    std::deque<bool> answers;
    std::deque<std::string> edits;
    std::vector<std::string> questions;
    std::vector<std::string> messages;
    std::vector<std::string> fields;
};

} // namespace velnor::test
