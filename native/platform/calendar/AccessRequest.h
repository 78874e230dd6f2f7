// Asking a person for calendar access, and recording the answer in the
// store's `access` file. Blocking; the store runs it on a thread of its own.
#pragma once

#include <string>

namespace calendar {

enum class Answer { yes, no, none };

// The explanation shown with every question.
extern const char* const kCalendarUsageText;

// Asks, in this order, whoever can answer: the store's own `prompt`
// executable (when it is safe to run), a graphical dialog (zenity or kdialog
// in a graphical session), the controlling terminal. Nobody: Answer::none.
// Nothing is written to this process's standard output or error.
Answer askPerson(const std::string& storeDirectory);

// Runs the `prompt` executable when it is a regular file owned by the user
// or root and not writable by group or others; exit 0 is yes, 1 no.
// Otherwise, or on any other exit: nothing (the caller asks the next one).
enum class PromptResult { yes, no, noAnswer, unusable };
PromptResult runPrompt(const std::string& path);

// Replaces `access` atomically with "granted" (yes) or "denied" (no); none
// leaves it alone. False when the file could not be written.
bool recordAnswer(const std::string& storeDirectory, Answer answer);

}  // namespace calendar
