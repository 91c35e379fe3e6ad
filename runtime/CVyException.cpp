#include "CVyException.h"

#include <utility>

namespace {

// Messages are one line even when a file name or file content brought a line break along.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

// One line: "<operation>: <subject>: <reason>", the subject left out when there is none.
std::string JoinMessage(const std::string& operation, const std::string& subject, const std::string& reason) {
    std::string message = operation;
    if (!subject.empty()) {
        message += ": " + subject;
    }
    message += ": " + reason;
    return OneLine(message);
}

}  // namespace

CVyException::CVyException(std::string operation, std::string subject, std::string reason)
    : std::runtime_error(JoinMessage(operation, subject, reason)),
      operation_(OneLine(std::move(operation))),
      subject_(OneLine(std::move(subject))),
      reason_(OneLine(std::move(reason))) {}

CVyString CVyException::ToString(bool details) const { return details ? CVyString(what()) : CVyString(reason_); }
