// Fuzzes the settings-file reader: any text is either imported or refused
// with a CVyException, and a refused file changes nothing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "CParameterSet.h"
#include "CVyException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/vy_fuzz_settings_" + std::to_string(getpid()) + ".vyset";
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    CParameterSet params;
    params.Declare(1, "depth.steps", 32, 2, 256);
    params.Declare(2, "output.scale", 2, 1, 8);
    params.DeclareText(3, "name", "x");
    try {
        params.ImportParameterFromFile(CVyString(path));
    } catch (const CVyException&) {
        if (params.GetNumber(1) != 32 || params.GetNumber(2) != 2) __builtin_trap();
    }
    return 0;
}
