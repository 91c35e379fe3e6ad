// Codes and identifiers shared by the light-field runtime and its users.
#pragma once

#include <cstdint>

namespace Vy {

// Pixel layouts (the values of the matching OpenGL constants).
enum EPixelType : uint32_t {
    PixelTypeNone = 0,
    PixelTypeRGB = 0x1907,
    PixelTypeRGBA = 0x1908,
    PixelTypeLuminance = 0x1909,
    PixelTypeBGR = 0x80E0,
    PixelTypeBGRA = 0x80E1,
};

// Sample types (the values of the matching OpenGL constants).
enum EDataType : uint32_t {
    DataTypeNone = 0,
    DataTypeByte = 0x1400,          // signed 8-bit
    DataTypeUnsignedByte = 0x1401,  // unsigned 8-bit
    DataTypeShort = 0x1402,
    DataTypeUnsignedShort = 0x1403,  // unsigned 16-bit
    DataTypeInt = 0x1404,
    DataTypeUnsignedInt = 0x1405,
    DataTypeFloat = 0x1406,
};

// Sample range of the runtime's 16-bit images: 14 significant bits, so full
// scale is 16383. Brought down to 8 bits they are divided by 64 (the low 6 bits
// dropped); 8-bit samples are brought up by the same factor.
constexpr int kFullScaleBits = 14;
constexpr int kFullScale14 = (1 << kFullScaleBits) - 1;
constexpr int kTo8BitShift = kFullScaleBits - 8;
constexpr int kTo8BitDivisor = 1 << kTo8BitShift;

// The one spelling of pi for the runtime and its users.
constexpr double kPi = 3.14159265358979323846;

// Images the compute engine keeps and hands out by identifier.
enum EImageId : uint32_t {
    ImageIdPreProcessed = 1,           // 16-bit luminance, 14-bit range
    ImageIdRefocused = 64,             // 16-bit luminance
    ImageIdTotalFocus = 4096,          // 16-bit luminance
    ImageIdDepthColorCoded = 0x20000,  // 8-bit BGR
    ImageIdVirtualDepth = 0x10000,     // 32-bit float luminance, virtual depth on the output grid, 0 = invalid
    ImageIdDistance = 0x40000,         // 32-bit float luminance, metric distance (mm), 0 = invalid
};

}  // namespace Vy

namespace LF {
// The space a compute result is expressed in.
enum ESpace : int32_t {
    Space_VirtualImage = 200,  // lateral virtual-image coordinates on the output grid
};
}  // namespace LF

namespace Params {

// Read-only figures of a compute device.
enum ECudaDevice : uint32_t {
    CudaDevice_Name = 1,       // text
    CudaDevice_MemoryMB = 5,   // number, megabytes
    CudaDevice_ClockMHz = 20,  // number, megahertz
};

// Processing parameters of the compute engine. The settings file names
// them by key; the table of keys, defaults and ranges is documented in
// docs/settings.md.
enum ECudaCompute : uint32_t {
    CudaCompute_RefocusVirtualDepth = 0x220001,  // 0..1, linear in 1/v over the usable range
    CudaCompute_Threads = 0x210001,              // worker threads, 0 = all cores
    CudaCompute_OutputScale = 0x210002,          // raw pixels per output pixel (integer >= 1)
    CudaCompute_DevignetteMinimum = 0x210003,    // white level below which a pixel is masked
    CudaCompute_MicroImageMargin = 0x210004,     // pixels kept off the micro-image rim
    CudaCompute_DepthVirtualMin = 0x230001,      // lowest virtual depth searched
    CudaCompute_DepthVirtualMax = 0x230002,      // highest virtual depth searched
    CudaCompute_DepthSteps = 0x230003,           // candidates between min and max
    CudaCompute_DepthPatchRadius = 0x230004,     // half size of the matching patch
    CudaCompute_DepthMinContrast = 0x230005,     // texture needed for a depth estimate
    CudaCompute_DepthMaxCost = 0x230006,         // matching cost above which a depth is invalid
    CudaCompute_DepthConsistency = 0x230007,     // largest virtual-depth spread among neighbours
    CudaCompute_DepthFillIterations = 0x230008,  // hole-filling passes of the depth map
    CudaCompute_ColorNearDistance = 0x240001,    // metric distance (mm) drawn red
    CudaCompute_ColorFarDistance = 0x240002,     // metric distance (mm) drawn blue
};

}  // namespace Params
