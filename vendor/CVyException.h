// Every failure of the runtime arrives as a CVyException.
#pragma once

#include <stdexcept>
#include <string>

#include "CVyString.h"
#include "IException.h"

class CVyException : public std::runtime_error, public Vy::Interop::Runtime31::IException {
public:
    // operation: what was attempted ("CSeqFileReader::Open");
    // subject: the file or value at fault; reason: what went wrong.
    CVyException(std::string operation, std::string subject, std::string reason);

    // "<operation>: <subject>: <reason>"; with details false only the reason.
    CVyString ToString(bool details) const;
    const char* GetMessage() const noexcept override { return what(); }

    const std::string& Operation() const { return operation_; }
    const std::string& Subject() const { return subject_; }
    const std::string& Reason() const { return reason_; }

private:
    std::string operation_;
    std::string subject_;
    std::string reason_;
};
