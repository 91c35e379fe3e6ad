#include "CParameterSet.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "CVyException.h"
#include "KeyValueText.h"
#include "TextFile.h"

namespace {

constexpr size_t kMaxSettingsFileBytes = size_t{1} << 20;

std::string IdText(uint32_t id) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "id 0x%x", id);
    return buffer;
}

std::string RangeText(double minimum, double maximum) {
    return "[" + Vy::FormatNumber(minimum) + ", " + Vy::FormatNumber(maximum) + "]";
}

bool InRange(double value, double minimum, double maximum) { return value >= minimum && value <= maximum; }

}  // namespace

const CParameterSet::Entry& CParameterSet::Find(uint32_t id, const char* operation) const {
    const auto found = entries_.find(id);
    if (found == entries_.end()) {
        throw CVyException(operation, IdText(id), "unknown parameter");
    }
    return found->second;
}

void CParameterSet::GetValue(uint32_t id, CVyString& text) const {
    const Entry& entry = Find(id, "CParameterSet::GetValue");
    if (!entry.isText) {
        throw CVyException("CParameterSet::GetValue", entry.key, "parameter is a number, not text");
    }
    text = CVyString(entry.text);
}

void CParameterSet::GetValue(uint32_t id, double& number) const { number = GetNumber(id); }

double CParameterSet::GetNumber(uint32_t id) const {
    const Entry& entry = Find(id, "CParameterSet::GetValue");
    if (entry.isText) {
        throw CVyException("CParameterSet::GetValue", entry.key, "parameter is text, not a number");
    }
    return entry.number;
}

void CParameterSet::SetValue(uint32_t id, double number) {
    const Entry& entry = Find(id, "CParameterSet::SetValue");
    if (entry.isText) {
        throw CVyException("CParameterSet::SetValue", entry.key, "parameter is text, not a number");
    }
    if (!InRange(number, entry.minimum, entry.maximum)) {
        throw CVyException(
            "CParameterSet::SetValue", entry.key,
            "value " + Vy::FormatNumber(number) + " is outside " + RangeText(entry.minimum, entry.maximum));
    }
    entries_[id].number = number;
}

void CParameterSet::SetValue(uint32_t id, const CVyString& text) {
    const Entry& entry = Find(id, "CParameterSet::SetValue");
    if (!entry.isText) {
        throw CVyException("CParameterSet::SetValue", entry.key, "parameter is a number, not text");
    }
    entries_[id].text = text.ToStdString();
}

void CParameterSet::ImportParameterFromFile(const CVyString& path) {
    static const std::string kOperation = "ImportParameterFromFile";
    const std::string& file = path.ToStdString();
    const std::string text = Vy::ReadTextFile(file, kMaxSettingsFileBytes, kOperation);

    // Everything is checked into a copy first so that a bad file changes nothing.
    std::map<uint32_t, Entry> updated = entries_;
    for (const Vy::KeyValueLine& line : Vy::ParseKeyValueText(text, file, kOperation)) {
        auto target = updated.end();
        for (auto it = updated.begin(); it != updated.end(); ++it) {
            if (it->second.key == line.key) {
                target = it;
                break;
            }
        }
        const std::string where = Vy::SourceLine(file, line.line);
        if (target == updated.end()) {
            throw CVyException(kOperation, where, "unknown key " + Vy::QuoteText(line.key));
        }
        Entry& entry = target->second;
        if (entry.isText) {
            entry.text = line.value;
            continue;
        }
        double number = 0.0;
        if (!Vy::ParseFiniteNumber(line.value, number)) {
            throw CVyException(kOperation, where,
                               "value " + Vy::QuoteText(line.value) + " of '" + line.key + "' is not a number");
        }
        if (!InRange(number, entry.minimum, entry.maximum)) {
            throw CVyException(
                kOperation, where,
                "value " + line.value + " of '" + line.key + "' is outside " + RangeText(entry.minimum, entry.maximum));
        }
        entry.number = number;
    }
    entries_ = std::move(updated);
}

bool CParameterSet::Has(uint32_t id) const { return entries_.count(id) != 0; }

void CParameterSet::Declare(uint32_t id, const std::string& key, double defaultValue, double minimum, double maximum) {
    Entry entry;
    entry.key = key;
    entry.number = defaultValue;
    entry.minimum = minimum;
    entry.maximum = maximum;
    entries_[id] = std::move(entry);
}

void CParameterSet::DeclareText(uint32_t id, const std::string& key, const std::string& value) {
    Entry entry;
    entry.key = key;
    entry.isText = true;
    entry.text = value;
    entries_[id] = std::move(entry);
}
