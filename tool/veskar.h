#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host/operator.h"
#include "keying/colour.h"
#include "keying/snapshot.h"

/// The keyer tool object. Controls are created by the constructor; the host
/// owns their handles and the tool object itself.
class Veskar : public ThreadedOperator {
public:
    Veskar(const Registry* registry, const ScriptVal& table, const TagList& tags);
    ~Veskar() override;

    std::size_t ObjectSize() override;
    void CheckRequest(Request* request) override;
    void Process(Request* request) override;
    void NotifyChanged(Input* input, Parameter* value, double time, TagList* tags) override;
    void RenderChunk(Request* request, int chunk) override;

    // Control handles, in creation order; set once by the constructor.
    Input* inColorspace = nullptr;
    Input* inBGAlphaBlend = nullptr;
    Input* inKeyfall = nullptr;
    Input* inKeyalgo = nullptr;
    Input* inCRed = nullptr;
    Input* inCGreen = nullptr;
    Input* inCBlue = nullptr;
    Input* inInvAlpha = nullptr;
    Input* inAlphamult = nullptr;
    Input* inColCor = nullptr;
    Input* inCCAmount = nullptr;
    Input* inFadeCC = nullptr;
    Input* inDesaturateAlpha = nullptr;
    Input* inChannel = nullptr;
    Input* inValueRed = nullptr;
    Input* inValueGreen = nullptr;
    Input* inValueBlue = nullptr;
    Input* inMiRedn = nullptr;
    Input* inMinGreen = nullptr;
    Input* inMinBlue = nullptr;
    Input* inMaxRed = nullptr;
    Input* inMaxGreen = nullptr;
    Input* inMaxBlue = nullptr;
    Input* inMydivider = nullptr;
    Input* inFadeRed = nullptr;
    Input* inGammaAlpha = nullptr;
    Input* inMultAlpha = nullptr;
    Input* inOffAlpha = nullptr;
    Input* inVersionLabel = nullptr;
    Input* inImage = nullptr;
    Input* inKeyImage = nullptr;
    Output* outImage = nullptr;

    // Mode copies of keyfall and keyalgo. Written by notifications while
    // chunks of a render read them, so both sides use atomic 32-bit access.
    std::atomic<std::int32_t> falloffMode{0};
    std::atomic<std::int32_t> keyerMode{0};

    // Key colour entry.
    std::int32_t colorSpaceMode = 0;
    std::int32_t keyColorArmed = 0;
    double keyColorRed = 0.0;
    double keyColorGreen = 0.0;
    double keyColorBlue = 0.0;

    // Render state of the request being processed: written by Process before
    // the chunks start, only read while they run.
    Image* sourceImage = nullptr;
    Image* keyImage = nullptr;
    Image* outputImage = nullptr;
    std::int32_t imageWidth = 0;
    std::int32_t imageHeight = 0;
    std::int32_t keyImageUsable = 0;

    // Key colour entry: keeps the key colour and the Value sliders in step
    // through the current colour space.
    void SetValuesFromColor(keying::Colour colour, double time);
    void SetColorFromValue(int position, double value, double time);

private:
    // Keys line y of the source straight from the planes into the output's.
    void KeyPlainLine(const keying::Snapshot& snapshot, std::int32_t falloff, std::int32_t keyer,
                      std::int32_t y, bool sampling, double sx, double sy, double kw, double kh);
    void ColorSpaceChanged(double value);
    void KeyColorChanged(int channel, double value, double time);
    void ShowChannel(std::int32_t channel);
    void SetInput(Input* input, double value, double time);
};

static_assert(std::atomic<std::int32_t>::is_always_lock_free);
