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

// A run of region pixels [x0, x1) on row y, and the union-find parent of
// the run (an index into the runs).
struct Run {
    int y;
    int x0;
    int x1;
    std::size_t parent;
};

std::size_t Root(std::vector<Run>& runs, std::size_t i) {
    while (runs[i].parent != i) {
        runs[i].parent = runs[runs[i].parent].parent;  // path halving
        i = runs[i].parent;
    }
    return i;
}

// Sets to `fill` every 8-connected region of pixels for which member(a) holds
// whose bounding box is at most `limit` pixels wide and high and that does
// not touch the frame's edge. NaN pixels
// belong to no region (member is false for them) and keep their NaN. Regions
// are found as runs along the rows joined with the overlapping or diagonally
// touching runs of the row above.
template <typename Member>
void FillSmallRegions(Matte& matte, int limit, float fill, Member member) {
    std::vector<Run> runs;
    std::size_t previous = 0;  // first run of the row above
    for (int y = 0; y < matte.height; ++y) {
        const float* row = matte.alpha.data() + matte.Index(0, y);
        const std::size_t current = runs.size();
        for (int x = 0; x < matte.width;) {
            if (!member(row[x])) {
                ++x;
                continue;
            }
            const int x0 = x;
            while (x < matte.width && member(row[x])) ++x;
            runs.push_back({y, x0, x, runs.size()});
        }
        // Runs of both rows are sorted by x: one sweep finds every touching pair.
        std::size_t above = previous;
        for (std::size_t i = current; i < runs.size(); ++i) {
            while (above < current && runs[above].x1 < runs[i].x0) ++above;
            for (std::size_t j = above; j < current && runs[j].x0 <= runs[i].x1; ++j) {
                const std::size_t a = Root(runs, i);
                const std::size_t b = Root(runs, j);
                if (a != b) runs[std::max(a, b)].parent = std::min(a, b);
            }
        }
        previous = current;
    }
    // Bounding boxes per root, then the runs of the small regions filled.
    struct Box {
        int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    };
    std::vector<Box> boxes(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::size_t r = Root(runs, i);
        Box& box = boxes[r];
        if (r == i) box = {runs[i].x0, runs[i].x1, runs[i].y, runs[i].y + 1};
        box = {std::min(box.x0, runs[i].x0), std::max(box.x1, runs[i].x1),
               std::min(box.y0, runs[i].y), std::max(box.y1, runs[i].y + 1)};
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Box& box = boxes[Root(runs, i)];
        if (box.x1 - box.x0 > limit || box.y1 - box.y0 > limit) continue;
        // A region at the frame's edge may go on beyond it (the screen between
        // two legs cut by the frame, a hand coming in): it is not known small.
        if (box.x0 == 0 || box.y0 == 0 || box.x1 == matte.width || box.y1 == matte.height) continue;
        float* row = matte.alpha.data() + matte.Index(0, runs[i].y);
        std::fill(row + runs[i].x0, row + runs[i].x1, fill);
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
