#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/export.h"
#include "host/parameter.h"
#include "host/tag_list.h"

/// Most further channels an image may carry after blue, green, red and alpha.
inline constexpr int kMaxExtraChannels = 252;

/// The host's floating-point pixel record: blue, green, red, alpha, then the
/// image's further channels (as many as the image has; the rest unused).
struct PixelRecord {
    float B;
    float G;
    float R;
    float A;
    float Extra[kMaxExtraChannels];
};

class Image;

/// Pixel routines, called as (record, position in plane 1, position in plane
/// 2, image). Positions are byte offsets formed from the image's row starts
/// and steps; a plane without a row-start table takes position 0.
using PixelFetch = void (*)(PixelRecord* record, std::int64_t position1, std::int64_t position2,
                            const Image* image);
using PixelStore = void (*)(const PixelRecord* record, std::int64_t position1,
                            std::int64_t position2, Image* image);

/// A host image. Plane 1 holds interleaved 32-bit float records blue, green,
/// red, alpha; plane 2 holds the further channels (32-bit floats), absent
/// when there are none. Pixel (x, y) lies at RowStarts(p)[y] + x * Step(p) in
/// each plane.
class HOST_API Image : public Parameter {
public:
    /// A new image, every value 0. `extraChannels` names the further channels
    /// (at most kMaxExtraChannels). Throws std::length_error when a position
    /// x * step would not fit 32 bits, or a size is negative.
    Image(std::int32_t width, std::int32_t height, std::vector<std::string> extraChannels = {});
    ~Image() override;

    std::int32_t Width() const noexcept { return width_; }
    std::int32_t Height() const noexcept { return height_; }
    int ExtraChannelCount() const noexcept { return static_cast<int>(extraNames_.size()); }
    const std::vector<std::string>& ExtraChannelNames() const noexcept { return extraNames_; }

    /// Row starts of plane 1 or 2, one per line, or null when the plane has no
    /// table (plane 2 of an image without further channels).
    const std::int64_t* RowStarts(int plane) const noexcept;
    /// Per-pixel step of plane 1 or 2 in bytes.
    std::int32_t Step(int plane) const noexcept;

    PixelFetch FetchRoutine() const noexcept { return fetch_; }
    PixelStore StoreRoutine() const noexcept { return store_; }

    /// Whether the image offers its lines as plain float rows: its pixel
    /// routines are the host's own, so plane 1 holds line y as Width()
    /// interleaved records blue, green, red, alpha (32-bit floats, step 16)
    /// from byte RowStarts(1)[y] of PlaneBytes(1), and plane 2 (when present)
    /// the line's further channels from byte RowStarts(2)[y] of PlaneBytes(2).
    /// A tool may then read and write whole lines directly; for any other image
    /// it goes through the routines, pixel by pixel, with the same result.
    bool PlainFloatRows() const noexcept;
    /// Start of plane 1 or 2 (positions are byte offsets from it), or null for a
    /// plane the image does not have.
    unsigned char* PlaneBytes(int plane) noexcept;
    const unsigned char* PlaneBytes(int plane) const noexcept;
    /// Replaces the pixel routines, as a host does for an image whose pixels it
    /// converts on access. The image no longer offers plain rows afterwards.
    void SetPixelRoutines(PixelFetch fetch, PixelStore store) noexcept;

    /// Direct access for the host side (file readers and writers): the record
    /// of pixel (x, y) in plane 1 (four floats) and its further channels.
    float* Plane1Pixel(std::int32_t x, std::int32_t y) noexcept;
    const float* Plane1Pixel(std::int32_t x, std::int32_t y) const noexcept;
    float* Plane2Pixel(std::int32_t x, std::int32_t y) noexcept;
    const float* Plane2Pixel(std::int32_t x, std::int32_t y) const noexcept;

private:
    friend void FetchPixel(PixelRecord*, std::int64_t, std::int64_t, const Image*);
    friend void StorePixel(const PixelRecord*, std::int64_t, std::int64_t, Image*);

    std::int32_t width_;
    std::int32_t height_;
    std::vector<std::string> extraNames_;
    // Plane memory comes from and returns to the host's plane pool.
    struct PlaneRelease {
        std::size_t count;
        void operator()(float* plane) const noexcept;
    };
    using PlaneMemory = std::unique_ptr<float[], PlaneRelease>;
    static PlaneMemory NewPlane(std::size_t count);

    PlaneMemory plane1_;
    PlaneMemory plane2_;
    std::vector<std::int64_t> rowStarts1_;
    std::vector<std::int64_t> rowStarts2_;
    std::int32_t step1_;
    std::int32_t step2_;
    PixelFetch fetch_;
    PixelStore store_;
};

/// Creates an image from an attribute list. kImgLike (0x60020000) names an
/// existing image whose size and format (further channels) the new one takes;
/// the list must hold it. The caller owns the new image until it hands it to a
/// request (Request::SetOutputData takes it over). Throws
/// std::invalid_argument when the list names no image.
HOST_API Image* NewImageTagList(const TagList& tags);
