// Fuzzes the command line: any arguments must parse to options or one error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Arguments are separated by NUL bytes, as the kernel hands them over.
    std::vector<std::string> arguments{"MarlinProfileProc"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    const CommandLine line = parseCommandLine(static_cast<int>(argv.size()), argv.data());
    if (line.error.empty() && !line.help && line.positional.size() == 2) {
        displayTypeArgument(line.positional[1]);
    }
    return 0;
}
