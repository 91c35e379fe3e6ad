// The engine's contract: call order, image ids, formats, errors, parameters.
#include "CCudaCompute.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "CVyException.h"
#include "IImageAccess.h"
#include "VyTypes.h"
#include "engine/DepthColorMap.h"
#include "engine/SyntheticPlane.h"

namespace {

using namespace Vy::Engine;
using ::testing::HasSubstr;

constexpr int32_t kSide = 256;

// The message of the CVyException thrown by call, or "" when none is thrown.
template <typename Call>
std::string ErrorOf(Call call) {
    try {
        call();
    } catch (const CVyException& e) {
        return e.what();
    }
    return "";
}

class CCudaComputeTest : public ::testing::Test {
protected:
    void SetUp() override {
        calibration_ = Synthetic::MakeCalibration(kSide);
        engine_.ApplyCalibration(calibration_, true);
        access_ = static_cast<IImageAccess*>(engine_.GetInterface(1));
    }

    void Upload(double v, double timeStamp = 1234.5, int32_t frameId = 77) {
        CVyImage raw = Synthetic::RenderPlane(calibration_, v, Synthetic::Texture);
        raw.timeStamp = timeStamp;
        raw.frameId = frameId;
        engine_.UploadRawImage(raw);
    }

    void RunAll() {
        engine_.Compute_PreProcess();
        engine_.Compute_DepthRay();
        engine_.Compute_DepthMap(LF::Space_VirtualImage);
        engine_.Compute_TotalFocus(LF::Space_VirtualImage);
        engine_.Compute_Depth3D();
        engine_.Compute_DepthColorCode(LF::Space_VirtualImage);
        engine_.Compute_RefocusBasic();
    }

    CVyImage Get(uint32_t id) {
        CVyImage image;
        access_->GetImage(id, image);
        return image;
    }

    CCalibration calibration_;
    CCudaCompute engine_;
    IImageAccess* access_ = nullptr;
};

TEST_F(CCudaComputeTest, ResultsHaveTheirFormatsAndCarryTheFrame) {
    Upload(4.0);
    RunAll();
    struct Expected {
        uint32_t id;
        int32_t side;
        uint32_t pixelType;
        uint32_t dataType;
    };
    const int32_t out = kSide / 2;
    for (const Expected& e :
         {Expected{Vy::ImageIdPreProcessed, kSide, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort},
          Expected{Vy::ImageIdTotalFocus, out, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort},
          Expected{Vy::ImageIdRefocused, out, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort},
          Expected{Vy::ImageIdDepthColorCoded, out, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte},
          Expected{Vy::ImageIdVirtualDepth, out, Vy::PixelTypeLuminance, Vy::DataTypeFloat},
          Expected{Vy::ImageIdDistance, out, Vy::PixelTypeLuminance, Vy::DataTypeFloat}}) {
        const CVyImage image = Get(e.id);
        EXPECT_EQ(image.GetWidth(), e.side) << e.id;
        EXPECT_EQ(image.GetHeight(), e.side) << e.id;
        EXPECT_EQ(image.GetPixelType(), e.pixelType) << e.id;
        EXPECT_EQ(image.GetDataType(), e.dataType) << e.id;
        EXPECT_EQ(image.timeStamp, 1234.5) << e.id;
        EXPECT_EQ(image.frameId, 77) << e.id;
        // Handed out without a pixel copy.
        EXPECT_EQ(Get(e.id).GetPixelData(), image.GetPixelData()) << e.id;
    }
    // The distance map follows the thin-lens relation at the plane's virtual depth.
    const CVyImage distance = Get(Vy::ImageIdDistance);
    const float z = static_cast<const float*>(distance.GetPixelData())[out / 2 * out + out / 2];
    EXPECT_NEAR(z, Vy::Model::distanceFromVirtualDepth(calibration_, 4.0), 0.01 * z);

    const CVyImage pre = Get(Vy::ImageIdPreProcessed);
    const auto* p = static_cast<const uint16_t*>(pre.GetPixelData());
    EXPECT_LE(*std::max_element(p, p + kSide * kSide), Vy::kFullScale14);
    // Between micro-images (half way between two lens centres) the mask leaves nothing.
    const Vy::Model::Point a = Vy::Model::lensCentre(calibration_, 4, 4);
    const Vy::Model::Point b = Vy::Model::lensCentre(calibration_, 5, 4);
    EXPECT_EQ(p[static_cast<int>((a.y + b.y) / 2) * kSide + static_cast<int>((a.x + b.x) / 2)], 0);
}

// Result buffers are reused between frames, but never while an image handed out still uses them.
TEST_F(CCudaComputeTest, ImagesHandedOutSurviveLaterFrames) {
    std::vector<CVyImage> kept;
    std::vector<std::vector<uint8_t>> copies;
    for (double v : {3.0, 5.0, 3.0, 5.0}) {
        Upload(v);
        RunAll();
        for (uint32_t id : {Vy::ImageIdPreProcessed, Vy::ImageIdTotalFocus, Vy::ImageIdDepthColorCoded}) {
            kept.push_back(Get(id));
            const auto* p = static_cast<const uint8_t*>(kept.back().GetPixelData());
            copies.emplace_back(p, p + kept.back().GetByteSize());
        }
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        const auto* p = static_cast<const uint8_t*>(kept[i].GetPixelData());
        EXPECT_TRUE(std::equal(copies[i].begin(), copies[i].end(), p)) << "image " << i;
    }
    // Writing into an image handed out leaves the engine's copy alone.
    CVyImage mine = Get(Vy::ImageIdTotalFocus);
    static_cast<uint16_t*>(mine.GetPixelDataForWrite())[0] = 12345;
    EXPECT_NE(static_cast<const uint16_t*>(Get(Vy::ImageIdTotalFocus).GetPixelData())[0], 12345);
}

TEST_F(CCudaComputeTest, RejectsBadInputWithTheReason) {
    CCalibration bad = calibration_;
    bad.lensPitch = 1.0;
    EXPECT_THAT(ErrorOf([&] { engine_.ApplyCalibration(bad, true); }), HasSubstr(bad.Problem()));
    bad = Synthetic::MakeCalibration(8192, 4.0);  // millions of lenses
    EXPECT_THAT(ErrorOf([&] { engine_.ApplyCalibration(bad, true); }), HasSubstr("more lenses than"));

    CVyImage color;
    ASSERT_TRUE(color.Create(CVyImageFormat{kSide, kSide, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte}));
    EXPECT_THAT(ErrorOf([&] { engine_.UploadRawImage(color); }), HasSubstr("8- or 16-bit luminance"));

    CVyImage blank;
    ASSERT_TRUE(blank.Create(CVyImageFormat{5120, 5120, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte}));
    engine_.UploadRawImage(blank);  // the warm-up frame is accepted ...
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_PreProcess(); }), HasSubstr("5120x5120"));  // ... but not processed
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_PreProcess(); }), HasSubstr("256x256"));

    CVyImage white;
    ASSERT_TRUE(white.Create(CVyImageFormat{100, 100, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedByte}));
    EXPECT_THAT(ErrorOf([&] { engine_.SetWhiteImage(white); }), HasSubstr("does not match the sensor"));
    EXPECT_THAT(ErrorOf([&] { CCudaCompute().SetWhiteImage(color); }), HasSubstr("8- or 16-bit luminance"));
    EXPECT_THAT(ErrorOf([&] { engine_.SetCudaDevice(CCudaDevice(1, false, CParameterSet())); }),
                HasSubstr("only the host CPU"));
    EXPECT_EQ(ErrorOf([&] { engine_.SetCudaDevice(CCudaDevice(0, true, CParameterSet())); }), "");
    EXPECT_EQ(engine_.GetInterface(2), nullptr);
}

// Odd but valid cameras and settings run the whole pipeline without failing.
TEST(EngineEdgeCases, TinyCamerasAndExtremeSettingsRun) {
    struct Case {
        int32_t side;
        double pitch;
        double radius;
        double scale;
        double margin;
    };
    for (const Case& k : {Case{16, 24.0, 11.0, 2, 1}, Case{64, 4.0, 2.0, 1, 0}, Case{64, 4.0, 4.0, 16, 16},
                          Case{100, 30.0, 30.0, 3, 0}, Case{257, 11.0, 5.0, 2, 4}}) {
        CCalibration c = Synthetic::MakeCalibration(k.side, k.pitch);
        c.microImageRadius = k.radius;
        ASSERT_EQ(c.Problem(), "");
        CCudaCompute engine;
        engine.GetParams().SetValue(Params::CudaCompute_OutputScale, k.scale);
        engine.GetParams().SetValue(Params::CudaCompute_MicroImageMargin, k.margin);
        engine.ApplyCalibration(c, true);
        engine.UploadRawImage(Synthetic::RenderPlane(c, 3.0, Synthetic::Texture));
        engine.Compute_PreProcess();
        engine.Compute_DepthRay();
        engine.Compute_DepthMap(LF::Space_VirtualImage);
        engine.Compute_TotalFocus(LF::Space_VirtualImage);
        engine.Compute_DepthColorCode(LF::Space_VirtualImage);
        engine.Compute_RefocusBasic();
        CVyImage image;
        static_cast<IImageAccess*>(engine.GetInterface(1))->GetImage(Vy::ImageIdTotalFocus, image);
        EXPECT_EQ(image.GetWidth(), k.side / static_cast<int32_t>(k.scale)) << k.side << " " << k.pitch;
    }
}

TEST_F(CCudaComputeTest, StepsOutOfOrderAndMissingImagesAreErrors) {
    CCudaCompute fresh;
    EXPECT_THAT(ErrorOf([&] { fresh.Compute_PreProcess(); }), HasSubstr("no calibration"));
    fresh.ApplyCalibration(calibration_, false);
    EXPECT_THAT(ErrorOf([&] { fresh.Compute_PreProcess(); }), HasSubstr("no raw image"));

    Upload(4.0);
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_DepthRay(); }), HasSubstr("Compute_PreProcess first"));
    engine_.Compute_PreProcess();
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_TotalFocus(LF::Space_VirtualImage); }), HasSubstr("DepthMap first"));
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_DepthMap(LF::Space_VirtualImage); }), HasSubstr("DepthRay first"));
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_Depth3D(); }), HasSubstr("DepthMap first"));
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_DepthColorCode(LF::Space_VirtualImage); }), HasSubstr("DepthMap first"));
    EXPECT_THAT(ErrorOf([&] { Get(Vy::ImageIdTotalFocus); }), HasSubstr("image 4096: not computed for this frame"));
    EXPECT_THAT(ErrorOf([&] { Get(12345); }), HasSubstr("unknown image id"));
    // Another space is refused before the order is looked at, by each step that takes one.
    const auto otherSpace = static_cast<LF::ESpace>(201);
    for (auto step :
         {&CCudaCompute::Compute_DepthMap, &CCudaCompute::Compute_TotalFocus, &CCudaCompute::Compute_DepthColorCode}) {
        EXPECT_THAT(ErrorOf([&] { (fresh.*step)(otherSpace); }),
                    HasSubstr("space 201: only the virtual-image space (200) is supported"));
    }
    engine_.Compute_DepthRay();
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_DepthMap(static_cast<LF::ESpace>(100)); }), HasSubstr("space 100"));
    engine_.Compute_DepthMap(LF::Space_VirtualImage);
    engine_.Compute_TotalFocus(LF::Space_VirtualImage);
    EXPECT_EQ(ErrorOf([&] { Get(Vy::ImageIdTotalFocus); }), "");

    // A new frame starts with nothing computed.
    Upload(4.0);
    EXPECT_THAT(ErrorOf([&] { Get(Vy::ImageIdPreProcessed); }), HasSubstr("not computed for this frame"));
    EXPECT_THAT(ErrorOf([&] { engine_.Compute_DepthMap(LF::Space_VirtualImage); }), HasSubstr("DepthRay first"));
}

// With a white image a pixel as bright as the white image becomes full scale,
// whatever the fall-off; pixels the white image leaves dark are masked.
TEST_F(CCudaComputeTest, WhiteImageDevignettes) {
    const double brightness = 180.0;
    const CVyImage white = Synthetic::RenderPlane(
        calibration_, 4.0, [](double, double) { return 1.0; }, brightness);
    engine_.SetWhiteImage(white);
    engine_.UploadRawImage(Synthetic::RenderPlane(calibration_, 4.0, Synthetic::Texture, brightness));
    engine_.Compute_PreProcess();
    const CVyImage pre = Get(Vy::ImageIdPreProcessed);
    const auto* p = static_cast<const uint16_t*>(pre.GetPixelData());
    const auto* w = static_cast<const uint8_t*>(white.GetPixelData());
    int checked = 0, off = 0;
    for (int32_t y = 0; y < kSide; ++y) {
        for (int32_t x = 0; x < kSide; ++x) {
            const size_t at = static_cast<size_t>(y) * kSide + x;
            if (w[at] < 0.15 * brightness) {
                EXPECT_EQ(p[at], 0) << x << "," << y;
            } else if (p[at] > 0) {
                int k = 0, l = 0;
                Vy::Model::nearestLens(calibration_, {x + 0.5, y + 0.5}, k, l);
                const Vy::Model::Point c = Vy::Model::lensCentre(calibration_, k, l);
                const double truth = Synthetic::Texture(c.x + 4.0 * (x + 0.5 - c.x), c.y + 4.0 * (y + 0.5 - c.y));
                ++checked;
                off += std::fabs(p[at] / double{Vy::kFullScale14} - truth) > 0.01;
            }
        }
    }
    EXPECT_GT(checked, kSide * kSide / 2);
    EXPECT_LT(off, checked / 100);
}

TEST_F(CCudaComputeTest, UntexturedSceneHasNoDepthAndIsDrawnBlack) {
    engine_.UploadRawImage(Synthetic::RenderPlane(calibration_, 4.0, [](double, double) { return 0.5; }));
    engine_.Compute_PreProcess();
    engine_.Compute_DepthRay();
    engine_.Compute_DepthMap(LF::Space_VirtualImage);
    engine_.Compute_DepthColorCode(LF::Space_VirtualImage);
    const CVyImage depth = Get(Vy::ImageIdVirtualDepth);
    const auto* d = static_cast<const float*>(depth.GetPixelData());
    EXPECT_EQ(std::count(d, d + depth.GetWidth() * depth.GetHeight(), 0.0f), depth.GetWidth() * depth.GetHeight());
    const CVyImage colors = Get(Vy::ImageIdDepthColorCoded);
    const auto* c = static_cast<const uint8_t*>(colors.GetPixelData());
    EXPECT_EQ(*std::max_element(c, c + colors.GetByteSize()), 0);
}

TEST_F(CCudaComputeTest, NearPlanesAreRedAndFarPlanesBlue) {
    EXPECT_EQ(DepthColor(0.0f).r, 255);
    EXPECT_EQ(DepthColor(0.0f).b, 0);
    EXPECT_EQ(DepthColor(1.0f).b, 255);
    EXPECT_EQ(DepthColor(1.0f).r, 0);
    // Virtual depth 6 images a nearer scene point than virtual depth 2.5.
    const double nearMm = Vy::Model::distanceFromVirtualDepth(calibration_, 6.0);
    const double farMm = Vy::Model::distanceFromVirtualDepth(calibration_, 2.5);
    ASSERT_LT(nearMm, farMm);
    engine_.GetParams().SetValue(Params::CudaCompute_ColorNearDistance, nearMm * 0.9);
    engine_.GetParams().SetValue(Params::CudaCompute_ColorFarDistance, farMm * 1.1);
    auto centreColor = [&](double v) {
        Upload(v);
        engine_.Compute_PreProcess();
        engine_.Compute_DepthRay();
        engine_.Compute_DepthMap(LF::Space_VirtualImage);
        engine_.Compute_DepthColorCode(LF::Space_VirtualImage);
        const CVyImage colors = Get(Vy::ImageIdDepthColorCoded);
        const auto* c = static_cast<const uint8_t*>(colors.GetPixelData());
        const size_t centre =
            3 * (static_cast<size_t>(colors.GetHeight() / 2) * colors.GetWidth() + colors.GetWidth() / 2);
        return Bgr{c[centre], c[centre + 1], c[centre + 2]};
    };
    const Bgr nearColor = centreColor(6.0);
    const Bgr farColor = centreColor(2.5);
    EXPECT_GT(nearColor.r, 200);
    EXPECT_LT(nearColor.b, 50);
    EXPECT_GT(farColor.b, 200);
    EXPECT_LT(farColor.r, 50);
}

TEST_F(CCudaComputeTest, EveryParameterIsDeclaredAndTheSettingsFileLoads) {
    CParameterSet& params = engine_.GetParams();
    for (uint32_t id :
         {Params::CudaCompute_RefocusVirtualDepth, Params::CudaCompute_Threads, Params::CudaCompute_OutputScale,
          Params::CudaCompute_DevignetteMinimum, Params::CudaCompute_MicroImageMargin,
          Params::CudaCompute_DepthVirtualMin, Params::CudaCompute_DepthVirtualMax, Params::CudaCompute_DepthSteps,
          Params::CudaCompute_DepthPatchRadius, Params::CudaCompute_DepthMinContrast, Params::CudaCompute_DepthMaxCost,
          Params::CudaCompute_DepthConsistency, Params::CudaCompute_DepthFillIterations,
          Params::CudaCompute_ColorNearDistance, Params::CudaCompute_ColorFarDistance}) {
        EXPECT_TRUE(params.Has(id)) << std::hex << id;
    }
    EXPECT_THROW(params.SetValue(Params::CudaCompute_RefocusVirtualDepth, 1.5), CVyException);
    params.ImportParameterFromFile(CVyString(VY_SOURCE_DIR "/settings/CurrentSettings-2019-08-09.vyset"));

    params.SetValue(Params::CudaCompute_OutputScale, 4);
    Upload(4.0);
    RunAll();
    EXPECT_EQ(Get(Vy::ImageIdTotalFocus).GetWidth(), kSide / 4);
}

// Changing the refocus parameter moves the plane in focus: at the plane's own
// depth the texture comes back, at the other end of the range it is smeared.
TEST_F(CCudaComputeTest, RefocusSharpensThePlaneAtItsDepth) {
    const double v = 5.0;
    auto psnrAt = [&](double value) {
        engine_.GetParams().SetValue(Params::CudaCompute_RefocusVirtualDepth, value);
        Upload(v);
        engine_.Compute_PreProcess();
        engine_.Compute_RefocusBasic();
        const CVyImage image = Get(Vy::ImageIdRefocused);
        const auto* p = static_cast<const uint16_t*>(image.GetPixelData());
        double sum = 0.0;
        int count = 0;
        for (int32_t j = 40; j < image.GetHeight() - 40; ++j) {
            for (int32_t i = 40; i < image.GetWidth() - 40; ++i) {
                const double truth = Synthetic::Texture(2 * (i + 0.5), 2 * (j + 0.5)) * 250.0 / 255.0;
                const double d = p[j * image.GetWidth() + i] / double{Vy::kFullScale14} - truth;
                sum += d * d;
                ++count;
            }
        }
        return 10.0 * std::log10(count / sum);
    };
    // 1/v linear in the value between the calibration's virtual depths 2 and 8.
    const double atPlane = (1.0 / 2.0 - 1.0 / v) / (1.0 / 2.0 - 1.0 / 8.0);
    const double focused = psnrAt(atPlane);
    EXPECT_GT(focused, 30.0);
    EXPECT_LT(psnrAt(0.0), focused - 10.0);
}

TEST(EngineResize, AveragesAreasAndKeepsTheFrame) {
    CCudaCompute engine;
    const uint16_t shorts[] = {0, 4, 8, 100, 2, 6, 10, 300};  // 4 x 2
    CVyImage source;
    ASSERT_TRUE(source.Create(4, 2, Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, shorts));
    source.timeStamp = 99.0;
    source.frameId = 5;
    CVyImage target;
    engine.ResizeImage(&target, &source, 2);
    ASSERT_EQ(target.GetWidth(), 2);
    ASSERT_EQ(target.GetHeight(), 1);
    EXPECT_EQ(static_cast<const uint16_t*>(target.GetPixelData())[0], 3);
    EXPECT_EQ(static_cast<const uint16_t*>(target.GetPixelData())[1], 105);
    EXPECT_EQ(target.timeStamp, 99.0);
    EXPECT_EQ(target.frameId, 5);

    const uint8_t bgr[] = {10, 20, 30, 30, 40, 50, 10, 20, 30, 30, 40, 50};  // 2 x 2
    ASSERT_TRUE(source.Create(2, 2, Vy::PixelTypeBGR, Vy::DataTypeUnsignedByte, bgr));
    engine.ResizeImage(&target, &source, 2);
    const auto* p = static_cast<const uint8_t*>(target.GetPixelData());
    EXPECT_EQ(target.GetPixelType(), Vy::PixelTypeBGR);
    EXPECT_EQ(std::vector<int>(p, p + 3), (std::vector<int>{20, 30, 40}));

    EXPECT_THAT(ErrorOf([&] { engine.ResizeImage(&target, &source, 0); }), HasSubstr("at least 1"));
    EXPECT_THAT(ErrorOf([&] { engine.ResizeImage(nullptr, &source, 2); }), HasSubstr("null"));
    EXPECT_THAT(ErrorOf([&] { engine.ResizeImage(&target, nullptr, 2); }), HasSubstr("null"));
}

}  // namespace

// The same exposure as 8-bit and as 12-bit data (with an 8- or 12-bit white image, or none)
// pre-processes to the same 14-bit image, within the rounding of the 8-bit data.
TEST_F(CCudaComputeTest, DeeperRawDataKeepsTheFourteenBitRange) {
    const CVyImage raw8 = Synthetic::RenderPlane(calibration_, 4.0, Synthetic::Texture, 180.0);
    const CVyImage white8 = Synthetic::RenderPlane(
        calibration_, 4.0, [](double, double) { return 1.0; }, 180.0);
    const auto deepen = [](const CVyImage& in) {
        std::vector<uint16_t> pixels(in.GetByteSize());
        const auto* p = static_cast<const uint8_t*>(in.GetPixelData());
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<uint16_t>(std::lround(p[i] * 4095.0 / 255.0));
        CVyImage out;
        out.Create(in.GetWidth(), in.GetHeight(), Vy::PixelTypeLuminance, Vy::DataTypeUnsignedShort, pixels.data());
        out.significantBits = 12;
        return out;
    };
    const auto preProcess = [&](const CVyImage& raw, const CVyImage& white) {
        engine_.SetWhiteImage(white);
        engine_.UploadRawImage(raw);
        engine_.Compute_PreProcess();
        const CVyImage pre = Get(Vy::ImageIdPreProcessed);
        const auto* p = static_cast<const uint16_t*>(pre.GetPixelData());
        return std::vector<uint16_t>(p, p + static_cast<size_t>(kSide) * kSide);
    };
    for (const bool withWhite : {false, true}) {
        const std::vector<uint16_t> a = preProcess(raw8, withWhite ? white8 : CVyImage());
        const std::vector<uint16_t> b = preProcess(deepen(raw8), withWhite ? deepen(white8) : CVyImage());
        const std::vector<uint16_t> c = preProcess(deepen(raw8), withWhite ? white8 : CVyImage());
        // 12-bit data in samples said to hold 16 bits: with a white image of the same kind the gains exceed 1.
        std::vector<uint16_t> d = b;
        if (withWhite) {
            CVyImage raw16 = deepen(raw8), white16 = deepen(white8);
            raw16.significantBits = white16.significantBits = 16;
            d = preProcess(raw16, white16);
        }
        uint16_t top = 0;
        int off = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            top = std::max(top, b[i]);
            // One 8-bit level of a pixel at gain g is 64 g / 64 units; allow that and the gain's rounding.
            off += std::abs(a[i] - b[i]) > std::max(2.0, 0.01 * a[i]) ||
                   std::abs(b[i] - c[i]) > std::max(2.0, 0.01 * b[i]) ||
                   std::abs(b[i] - d[i]) > std::max(2.0, 0.01 * b[i]);
        }
        EXPECT_GT(top, 8000) << "withWhite " << withWhite;
        EXPECT_LE(top, Vy::kFullScale14);
        EXPECT_EQ(off, 0) << "withWhite " << withWhite;
    }
    CVyImage wrong = deepen(raw8);
    wrong.significantBits = 17;
    EXPECT_THAT(ErrorOf([&] { engine_.UploadRawImage(wrong); }), HasSubstr("significant bits"));
}
