// Pictures through FreeImage, loaded by name at run time: without the library installed the
// picture exports simply report failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace UnitImageLibrary {

// Whether libfreeimage could be loaded (tried again on each call while it is not).
bool Available();

// The picture file reduced so that neither side exceeds maxSide, as a 24-bit JPEG of quality 90.
std::optional<std::vector<uint8_t>> LoadAsJpeg(const std::string& fileName, int maxSide);

// The picture held in `bytes` resampled to fit width x height (width first, aspect kept),
// as a 24-bit JPEG of the best quality.
std::optional<std::vector<uint8_t>> RescaleToJpeg(const std::vector<uint8_t>& bytes, int width, int height);

// The size that RescaleToJpeg gives a sourceW x sourceH picture.
struct TSize { int64_t Width; int64_t Height; };
TSize FitSize(int64_t sourceW, int64_t sourceH, int64_t width, int64_t height);

}  // namespace UnitImageLibrary
