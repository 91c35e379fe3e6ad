// What the processor makes of each frame. The numbers are those the operator
// types on the command line and sees in the status, the summary and the
// snapshot names, so they stay as they are.
#pragma once

#include <cstdint>

enum class DisplayType : int32_t {
    Raw = 0,         // the pre-processed raw image
    TotalFocus = 1,  // every point in focus
    Depth = 2,       // the colour-coded depth map
    Refocus = 3,     // focused on one plane the operator moves
    Profile = 4,     // blob count and area of the total focus image, logged per frame
};

constexpr int32_t displayTypeNumber(DisplayType type) { return static_cast<int32_t>(type); }

// The words after the number in the window's status; a type without a pipeline
// of its own shows the raw image and is named so.
constexpr const char* displayTypeName(DisplayType type) {
    switch (type) {
        case DisplayType::TotalFocus:
            return "total focus";
        case DisplayType::Depth:
            return "depth";
        case DisplayType::Refocus:
            return "refocused";
        case DisplayType::Profile:
            return "profile";
        default:
            return "raw";
    }
}
