#include "engine/EngineParameters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "VyTypes.h"

namespace {

using namespace Vy::Engine;

std::vector<double> Fields(const EngineSettings& s) {
    return {static_cast<double>(s.threads),
            static_cast<double>(s.outputScale),
            s.whiteMinimum,
            s.rimMargin,
            s.depthVirtualMin,
            s.depthVirtualMax,
            static_cast<double>(s.depthSteps),
            s.patchRadius,
            s.minContrast,
            s.maxCost,
            s.consistency,
            static_cast<double>(s.fillIterations),
            s.colorNear,
            s.colorFar};
}

// Each parameter moved to the end of its range alone must move one field of the
// settings, and no two parameters the same one: a parameter read into the wrong
// field, twice, or not at all shows here. refocus.value is read by refocus itself.
TEST(EngineParameters, EachParameterDrivesItsOwnSetting) {
    CParameterSet declared;
    DeclareEngineParameters(declared);
    const std::vector<double> defaults = Fields(ReadEngineSettings(declared));
    std::set<size_t> driven;
    for (const EngineParameter& parameter : EngineParameters()) {
        CParameterSet params;
        DeclareEngineParameters(params);
        const double moved = parameter.defaultValue == parameter.maximum ? parameter.minimum : parameter.maximum;
        params.SetValue(parameter.id, moved);
        const std::vector<double> fields = Fields(ReadEngineSettings(params));
        std::vector<size_t> changed;
        for (size_t i = 0; i < fields.size(); ++i) {
            if (fields[i] != defaults[i]) {
                changed.push_back(i);
            }
        }
        if (parameter.id == Params::CudaCompute_RefocusVirtualDepth) {
            EXPECT_TRUE(changed.empty()) << parameter.key;
            continue;
        }
        ASSERT_EQ(changed.size(), 1u) << parameter.key;
        EXPECT_EQ(fields[changed[0]], moved) << parameter.key;
        EXPECT_TRUE(driven.insert(changed[0]).second) << parameter.key << " drives a field another parameter drives";
    }
    EXPECT_EQ(driven.size(), defaults.size()) << "a setting no parameter drives";
}

// The table users read (docs/settings.md) gives the same id, default and range as the declarations.
TEST(EngineParameters, TheSettingsPageListsEachAsDeclared) {
    std::ifstream page(VY_SOURCE_DIR "/docs/settings.md");
    ASSERT_TRUE(page) << "docs/settings.md";
    // | key | 0xID | default | min .. max | meaning |
    const std::regex row(R"(^\| ([a-z_.]+) \| (0x[0-9a-f]+) \| ([-0-9.e]+) \| ([-0-9.e]+) \.\. ([-0-9.e]+) \|)");
    std::map<std::string, std::vector<double>> listed;
    std::string line;
    while (std::getline(page, line)) {
        std::smatch m;
        if (std::regex_search(line, m, row)) {
            listed[m[1]] = {static_cast<double>(std::stoul(m[2], nullptr, 16)), std::stod(m[3]), std::stod(m[4]),
                            std::stod(m[5])};
        }
    }
    ASSERT_FALSE(EngineParameters().empty());
    for (const EngineParameter& parameter : EngineParameters()) {
        const auto found = listed.find(parameter.key);
        ASSERT_NE(found, listed.end()) << parameter.key << " is missing from docs/settings.md";
        const std::vector<double> declared = {static_cast<double>(parameter.id), parameter.defaultValue,
                                              parameter.minimum, parameter.maximum};
        EXPECT_EQ(found->second, declared) << parameter.key;
    }
}

}  // namespace
