#include "CVyException.h"

#include <utility>

namespace {

// One line: "<operation>: <subject>: <reason>", the subject left out when there is none.
std::string JoinMessage(const std::string& operation, const std::string& subject, const std::string& reason) {
    std::string message = operation;
    if (!subject.empty()) {
        message += ": " + subject;
    }
    message += ": " + reason;
    for (char& c : message) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return message;
}

}  // namespace

CVyException::CVyException(std::string operation, std::string subject, std::string reason)
    : std::runtime_error(JoinMessage(operation, subject, reason)),
      operation_(std::move(operation)),
      subject_(std::move(subject)),
      reason_(std::move(reason)) {}

CVyString CVyException::ToString(bool details) const { return details ? CVyString(what()) : CVyString(reason_); }
