// Text handed across the runtime boundary.
#pragma once

#include <string>

class CVyString {
public:
    CVyString() = default;
    CVyString(const char* text) : text_(text ? text : "") {}
    CVyString(std::string text) : text_(std::move(text)) {}

    const char* ToCString() const { return text_.c_str(); }
    const std::string& ToStdString() const { return text_; }
    bool IsEmpty() const { return text_.empty(); }

private:
    std::string text_;
};
