// Which lens has which focal length, found on frames of the synthetic camera's
// multi-focus arrays rendered with every layout offset and with the focal lengths
// in another order, from a calibration that does not know the layout.
#include "LensTypeFinder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "CRayImage.h"
#include "CSeqFileReader.h"
#include "CameraModel.h"
#include "SequenceGenerator.h"
#include "TestFiles.h"

using namespace Vy::Synth;
using Vy::Test::ScratchDir;

namespace {

struct Recording {
    CCalibration calibration;
    cv::Mat white;
    std::vector<cv::Mat> frames;
};

cv::Mat matOf(const CVyImage& image) {
    return cv::Mat(image.GetHeight(), image.GetWidth(), CV_8UC1, const_cast<void*>(image.GetPixelData())).clone();
}

Recording render(const ScratchDir& dir, const std::string& preset, int size, const std::vector<double>& focalLengths,
                 int typeOffset) {
    CreateOptions options;
    options.preset = preset;
    options.size = size;
    options.frames = 1;
    options.truth = false;
    options.focalLengths = focalLengths;
    options.typeOffset = typeOffset;
    const std::string path = dir.File(preset + "-" + std::to_string(typeOffset) + ".rays");
    createSequence(path, options, nullptr);
    CSeqFileReader reader;
    reader.Open(path.c_str(), 2);
    CRayImage image;
    reader.StartReading(image);
    Recording r;
    r.calibration = reader.GetCalibration();
    r.white = matOf(image.GetWhiteImage());
    reader.ReadFrame(image);
    r.frames.push_back(matOf(image));
    return r;
}

// Whether every lens of a few rows gets the focal length the camera gave it.
bool sameLayout(const CCalibration& found, const CCalibration& truth) {
    for (int l = 0; l < 6; ++l)
        for (int k = 0; k < 6; ++k)
            if (Vy::Model::lensFocalLength(found, k, l) != Vy::Model::lensFocalLength(truth, k, l)) return false;
    return true;
}

// What a data sheet gives: the focal lengths (here longest first), no layout.
CCalibration withoutLayout(const CCalibration& c) {
    std::vector<double> lengths;
    for (int t = 0; t < c.microLensTypes; ++t) lengths.push_back(c.LensFocalLength(t));
    std::sort(lengths.rbegin(), lengths.rend());
    CCalibration unknown = c;
    unknown.microLensFocalLength = lengths[0];
    unknown.microLensFocalLength1 = lengths[1];
    unknown.microLensFocalLength2 = lengths[2];
    unknown.lensTypeOffset = 0;
    return unknown;
}

}  // namespace

TEST(LensTypeFinder, EveryPlacementOfTheThreeTypesIsFoundFromACalibrationThatDoesNotKnowIt) {
    const ScratchDir dir;
    // The published camera's focal lengths (sharp close together) in two orders and the
    // deep array's (far apart), each at every layout offset.
    const std::vector<std::pair<std::string, std::vector<double>>> cameras = {
        {"multifocus", {0.566, 0.507, 0.542}}, {"multifocus", {0.542, 0.566, 0.507}}, {"deep", {}}};
    for (const auto& [preset, lengths] : cameras) {
        for (int offset = 0; offset < 3; ++offset) {
            const Recording r = render(dir, preset, 1024, lengths, offset);
            const LensTypeFit fit = fitLensTypes(withoutLayout(r.calibration), r.white);
            SCOPED_TRACE(preset + ", offset " + std::to_string(offset) + ": " + describeLensTypeFit(fit));
            EXPECT_TRUE(fit.decided);
            EXPECT_TRUE(sameLayout(fit.calibration, r.calibration));
            // Told again with the placement found, nothing changes.
            const LensTypeFit again = fitLensTypes(fit.calibration, r.white);
            EXPECT_TRUE(again.decided);
            EXPECT_FALSE(again.changed);
        }
    }
}

TEST(LensTypeFinder, AnArrayOfOneFocalLengthIsNotToldApartAndKeepsItsCalibration) {
    const ScratchDir dir;
    // A single-focus camera whose calibration claims three types: the rims cannot differ.
    const Recording r = render(dir, "demo", 1024, {}, -1);
    CCalibration claimed = r.calibration;
    claimed.microLensTypes = 3;
    claimed.microLensFocalLength1 = 0.9 * claimed.microLensFocalLength;
    claimed.microLensFocalLength2 = 1.1 * claimed.microLensFocalLength;
    claimed.lensTypeOffset = 2;
    const LensTypeFit fit = fitLensTypes(claimed, r.white);
    SCOPED_TRACE(describeLensTypeFit(fit));
    EXPECT_FALSE(fit.decided);
    EXPECT_FALSE(fit.changed);
    EXPECT_EQ(fit.calibration.lensTypeOffset, 2);
    EXPECT_EQ(fit.calibration.microLensFocalLength1, claimed.microLensFocalLength1);
    // Nothing to place without a white image, or with one type.
    EXPECT_FALSE(fitLensTypes(claimed, cv::Mat()).decided);
    EXPECT_FALSE(fitLensTypes(r.calibration, r.white).decided);
}
