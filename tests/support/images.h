#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/image.h"

/// An image whose every value differs, in 0..1 for colour and alpha, with
/// `extra` further channels holding larger values.
inline std::shared_ptr<Image> PatternImage(int width, int height, std::vector<std::string> extra = {},
                                           std::uint32_t seed = 1) {
    auto image = std::make_shared<Image>(width, height, std::move(extra));
    std::uint32_t state = seed * 2654435761u + 12345u;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f;
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float* record = image->Plane1Pixel(x, y);
            for (int c = 0; c < 4; ++c) record[c] = next();
            if (float* further = image->Plane2Pixel(x, y)) {
                for (int c = 0; c < image->ExtraChannelCount(); ++c) further[c] = 1000.0f * next() - 500.0f;
            }
        }
    }
    return image;
}

/// Whether both images have the same size, channels and bits everywhere.
inline bool SameBits(const Image& a, const Image& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.ExtraChannelCount() != b.ExtraChannelCount()) {
        return false;
    }
    const std::size_t pixels = static_cast<std::size_t>(a.Width()) * a.Height();
    if (pixels == 0) return true;
    if (std::memcmp(a.Plane1Pixel(0, 0), b.Plane1Pixel(0, 0), pixels * 4 * sizeof(float)) != 0) return false;
    if (a.ExtraChannelCount() == 0) return true;
    return std::memcmp(a.Plane2Pixel(0, 0), b.Plane2Pixel(0, 0), pixels * a.ExtraChannelCount() * sizeof(float)) == 0;
}

/// Makes `image` reachable only through its pixel routines, as an image whose
/// pixels a host converts on access: the routines are replaced by others that
/// do what the host's own do, so the image no longer offers plain rows.
inline void RouteThroughPixelRoutines(Image& image) {
    static const PixelFetch hostFetch = Image(1, 1).FetchRoutine();
    static const PixelStore hostStore = Image(1, 1).StoreRoutine();
    image.SetPixelRoutines(
        [](PixelRecord* record, std::int64_t p1, std::int64_t p2, const Image* self) {
            hostFetch(record, p1, p2, self);
        },
        [](const PixelRecord* record, std::int64_t p1, std::int64_t p2, Image* self) {
            hostStore(record, p1, p2, self);
        });
}
