#include "server/ConsoleDialogs.h"

#include <cstdio>
#include <cstring>

#include "content/Strings.h"
#include "platform/Terminal.h"

namespace velnor {
namespace {

constexpr std::size_t kAnswerCapacity = 64;
constexpr std::size_t kFieldCapacity = 1024;

void printLine(const char* prefix, const char* text, const char* suffix) noexcept {
    char line[1200];
    std::snprintf(line, sizeof line, "%s%s%s", prefix, text ? text : "", suffix);
    platform::writeOutput(line);
}

// Drops leading and trailing blanks in place.
char* trimmed(char* text) noexcept {
    while (*text == ' ' || *text == '\t')
        ++text;
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        text[--length] = 0;
    return text;
}

} // namespace

int ReadYesNoAnswer(const char* typed, ConsoleDialogs::DefaultAnswer preferred) noexcept {
    char copy[kAnswerCapacity];
    copyBounded(copy, typed ? typed : "", sizeof copy - 1);
    copy[sizeof copy - 1] = 0;
    const char* answer = trimmed(copy);
    if (*answer == 0)
        return preferred == ConsoleDialogs::DefaultAnswer::Yes ? 1 : 0;
    if (compareNoCase(answer, "y") == 0 || compareNoCase(answer, "yes") == 0)
        return 1;
    if (compareNoCase(answer, "n") == 0 || compareNoCase(answer, "no") == 0)
        return 0;
    return -1;
}

bool StandardDialogs::AskYesNo(const char* question, DefaultAnswer preferred) noexcept {
    if (answerYes_ || !terminal_ || stopRequest_ != platform::StopRequest::None) {
        printLine("VELNOR: ", question, answerYes_ ? " Yes\n" : " No\n");
        return answerYes_;
    }
    const char* choices = preferred == DefaultAnswer::Yes ? " [Y/n] " : " [y/N] ";
    for (;;) {
        printLine("VELNOR: ", question, choices);
        char typed[kAnswerCapacity];
        const platform::LineRead read = platform::readLine(typed, sizeof typed, &stopRequest_);
        if (read == platform::LineRead::Stopped) {
            platform::writeOutput("\n");
            return false;
        }
        if (read == platform::LineRead::EndOfInput) {
            platform::writeOutput("\n");
            return false;
        }
        const int answer = ReadYesNoAnswer(typed, preferred);
        if (answer >= 0)
            return answer == 1;
    }
}

void StandardDialogs::ShowMessage(const char* text) noexcept {
    printLine("VELNOR: ", text, "\n");
}

bool StandardDialogs::EditField(const char* label, char* value, std::size_t capacity) noexcept {
    if (!terminal_ || stopRequest_ != platform::StopRequest::None || !value || capacity == 0)
        return false;
    char prompt[kFieldCapacity + 64];
    std::snprintf(prompt, sizeof prompt, "%s [%s]: ", label, value);
    platform::writeOutput(prompt);
    // Read into a larger area than the field, so that a text too long for the field is
    // seen whole by the checks rather than cut here.
    char typed[kFieldCapacity];
    const platform::LineRead read = platform::readLine(typed, sizeof typed, &stopRequest_);
    if (read != platform::LineRead::Line) {
        platform::writeOutput("\n");
        return false;
    }
    const char* text = trimmed(typed);
    if (*text == 0)
        return true; // an empty answer keeps the current value
    if (std::strlen(text) >= capacity)
        return false;
    std::memcpy(value, text, std::strlen(text) + 1);
    return true;
}

} // namespace velnor
