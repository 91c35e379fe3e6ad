// Parameters by identifier: the figures of a device, or the processing
// parameters of the compute engine.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "CVyString.h"

class CParameterSet {
public:
    // Throws CVyException for an unknown id or one of the other kind.
    void GetValue(uint32_t id, CVyString& text) const;
    void GetValue(uint32_t id, double& number) const;
    double GetNumber(uint32_t id) const;
    // Throws CVyException for an unknown id or a value outside the parameter's range.
    void SetValue(uint32_t id, double number);
    void SetValue(uint32_t id, const CVyString& text);
    // Reads a settings file ("key = value" lines, # comments; docs/settings.md).
    // Throws CVyException naming the file and line for a missing file, a malformed
    // line, an unknown key or a value out of range; nothing is changed then.
    void ImportParameterFromFile(const CVyString& path);
    bool Has(uint32_t id) const;

    // Runtime side: declares a parameter with its settings key, default and range.
    void Declare(uint32_t id, const std::string& key, double defaultValue, double minimum, double maximum);
    void DeclareText(uint32_t id, const std::string& key, const std::string& value);

private:
    struct Entry {
        std::string key;
        bool isText = false;
        double number = 0.0;
        double minimum = 0.0;
        double maximum = 0.0;
        std::string text;
    };
    const Entry& Find(uint32_t id, const char* operation) const;
    std::map<uint32_t, Entry> entries_;
};
