// Stage 4 of finishing: specks and holes by connected regions.
//
// Regions rather than a morphological opening and closing: an opening rounds
// every corner of the subject and thins hair narrower than the disc, while a
// region that is larger than the limit here keeps every bit. A speck is told
// from the screen by the screen's alpha being 0, so this stage follows clip
// black (stage 1) where the screen is not clean yet.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/finish/finish_stages.h"

namespace veskar::finish {
namespace {

// Sets to `fill` every 8-connected region of pixels for which member(a) holds
// whose bounding box is at most `limit` pixels wide and high. NaN pixels
// belong to no region (member is false for them) and keep their NaN.
template <typename Member>
void FillSmallRegions(Matte& matte, int limit, float fill, Member member) {
    const int width = matte.width;
    const int height = matte.height;
    std::vector<std::uint8_t> seen(matte.alpha.size(), 0);
    std::vector<std::size_t> region;
    std::vector<std::size_t> stack;
    for (std::size_t start = 0; start < matte.alpha.size(); ++start) {
        if (seen[start] || !member(matte.alpha[start])) continue;
        region.clear();
        stack.assign(1, start);
        seen[start] = 1;
        int minX = width, maxX = -1, minY = height, maxY = -1;
        while (!stack.empty()) {
            const std::size_t at = stack.back();
            stack.pop_back();
            region.push_back(at);
            const int x = static_cast<int>(at % width);
            const int y = static_cast<int>(at / width);
            minX = std::min(minX, x), maxX = std::max(maxX, x);
            minY = std::min(minY, y), maxY = std::max(maxY, y);
            for (int ny = std::max(0, y - 1); ny <= std::min(height - 1, y + 1); ++ny) {
                for (int nx = std::max(0, x - 1); nx <= std::min(width - 1, x + 1); ++nx) {
                    const std::size_t next = matte.Index(nx, ny);
                    if (!seen[next] && member(matte.alpha[next])) {
                        seen[next] = 1;
                        stack.push_back(next);
                    }
                }
            }
        }
        if (maxX - minX + 1 <= limit && maxY - minY + 1 <= limit) {
            for (std::size_t at : region) matte.alpha[at] = fill;
        }
    }
}

}  // namespace

void Despot(Matte& matte, double px) {
    // A region counts by whole pixels: one of n pixels across goes at px >= n.
    const int limit = static_cast<int>(std::min(px, 1e9));
    if (limit < 1) return;
    FillSmallRegions(matte, limit, 0.0f, [](float a) { return a > 0.0f; });
    FillSmallRegions(matte, limit, 1.0f, [](float a) { return a < 1.0f; });
}

}  // namespace veskar::finish
