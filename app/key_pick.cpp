#include "app/key_pick.h"

#include <algorithm>

namespace veskar {

std::array<double, 3> MeanColour(const Image& image, int x, int y, int radius) {
    double sum[3] = {0.0, 0.0, 0.0};
    long count = 0;
    for (int py = std::max(0, y - radius); py <= std::min(image.Height() - 1, y + radius); ++py) {
        for (int px = std::max(0, x - radius); px <= std::min(image.Width() - 1, x + radius); ++px) {
            const float* record = image.Plane1Pixel(px, py);
            sum[0] += record[2];
            sum[1] += record[1];
            sum[2] += record[0];
            ++count;
        }
    }
    const double samples = static_cast<double>(count);
    return {sum[0] / samples, sum[1] / samples, sum[2] / samples};
}

void SetKeyColour(host::ToolInstance& tool, const std::array<double, 3>& rgb) {
    const char* ids[3] = {"CRed", "CGreen", "CBlue"};
    for (int c = 0; c < 3; ++c) {
        tool.SetNumber(*tool.FindInput(ids[c]), rgb[c], 0.0);
    }
}

}  // namespace veskar
