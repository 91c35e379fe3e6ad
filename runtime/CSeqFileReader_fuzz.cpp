// Fuzzes the sequence reader: any file either opens and replays its frames
// or is refused with a CVyException; never a crash or a huge allocation.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "CSeqFileReader.h"
#include "CVyException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/vy_fuzz_sequence_" + std::to_string(getpid()) + ".rays";
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    CSeqFileReader reader;
    try {
        reader.Open(CVyString(path), 4);
        CRayImage image;
        reader.StartReading(image);
        uint64_t checksum = 0;
        while (reader.GetFrameIndex() < reader.GetFrameCount()) {
            reader.ReadFrame(image);
            const auto* pixels = static_cast<const uint8_t*>(image.GetPixelData());
            checksum += pixels[0] + pixels[image.GetByteSize() - 1];
        }
        (void)checksum;
    } catch (const CVyException&) {
    }
    return 0;
}
