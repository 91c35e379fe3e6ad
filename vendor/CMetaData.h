// Free-form metadata of a recording (key = value), held for the run.
#pragma once

#include <map>
#include <string>

class CMetaData {
public:
    void Set(const std::string& key, const std::string& value) { values_[key] = value; }
    const std::map<std::string, std::string>& GetAll() const { return values_; }

private:
    std::map<std::string, std::string> values_;
};
