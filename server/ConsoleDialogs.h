// The questions and messages of the control window and its dialogs, on a console.
#pragma once

#include <cstddef>

#include "platform/Signals.h"

namespace velnor {

/// What the window logic needs of its message boxes: a yes/no question, a message, and
/// (for the setup dialog) a text field with its current value.
///
/// A stop signal during a question answers it No and is remembered, so the caller can
/// end the program once the dialog has unwound.
class ConsoleDialogs {
public:
    enum class DefaultAnswer { Yes, No };

    virtual ~ConsoleDialogs() = default;

    virtual bool AskYesNo(const char* question, DefaultAnswer preferred) noexcept = 0;
    virtual void ShowMessage(const char* text) noexcept = 0;
    // Lets the operator edit one field; `value` (capacity bytes) holds the current text on
    // entry and the new one on return. False when nobody can answer (no terminal, end of
    // input, a stop signal); `value` is then unchanged.
    virtual bool EditField(const char* label, char* value, std::size_t capacity) noexcept = 0;
    // True when fields and questions are put to a person who can answer them.
    virtual bool interactive() const noexcept = 0;
    // The stop request that cut a question short, or None.
    virtual platform::StopRequest stopRequest() const noexcept = 0;
};

/// The dialogs on standard input and output, every text as a "VELNOR: TEXT" line.
///
/// On a terminal the operator answers. Otherwise, or when `answerYes` is set (--yes),
/// every question gets a fixed answer (Yes only with `answerYes`) that is printed after
/// it, so that the output shows what was decided; nothing ever waits for input then.
class StandardDialogs : public ConsoleDialogs {
public:
    StandardDialogs(bool terminal, bool answerYes) noexcept
        : terminal_(terminal), answerYes_(answerYes) {}

    bool AskYesNo(const char* question, DefaultAnswer preferred) noexcept override;
    void ShowMessage(const char* text) noexcept override;
    bool EditField(const char* label, char* value, std::size_t capacity) noexcept override;
    bool interactive() const noexcept override {
        return terminal_ && stopRequest_ == platform::StopRequest::None;
    }
    platform::StopRequest stopRequest() const noexcept override { return stopRequest_; }

private:
    bool terminal_;
    bool answerYes_;
    platform::StopRequest stopRequest_ = platform::StopRequest::None;
};

// How an answer typed at a yes/no question reads: 1 yes, 0 no, -1 neither (ask again).
// An empty answer takes `preferred`.
int ReadYesNoAnswer(const char* typed, ConsoleDialogs::DefaultAnswer preferred) noexcept;

} // namespace velnor
