// The key colour entry. The Value sliders hold the key in the working colour
// space; the "Key Color" control shows it in RGB. The members keyColorRed,
// keyColorGreen and keyColorBlue are where every exchange starts from, so a
// back-converted colour outside 0..1 is kept exactly even though the control
// can only show it clamped.

#include "keying/colour_spaces.h"
#include "keying/snapshot.h"
#include "tool/veskar.h"

namespace {

bool ConvertsKeyColour(std::int32_t mode) {
    return mode >= keying::kColourSpaceHsv && mode <= keying::kColourSpaceYcbcr;
}

// What the key colour control may show: NaN and negatives as 0, above 1 as 1.
double ClampForControl(float value) {
    if (!(value >= 0.0f)) {
        return 0.0;
    }
    return value > 1.0f ? 1.0 : static_cast<double>(value);
}

}  // namespace

void Veskar::SetInput(Input* input, double value, double time) {
    AutoNumber number(value);
    input->SetValue(number, time, 0, 0);
}

void Veskar::ColorSpaceChanged(double value) {
    // Nothing is converted: the sliders' numbers are read in the new space
    // from now on, and the next exchange uses it.
    colorSpaceMode = keying::RoundMode(value);
}

void Veskar::KeyColorChanged(int channel, double value, double time) {
    if (keyColorArmed == 0) {
        return;
    }
    double* const members[3] = {&keyColorRed, &keyColorGreen, &keyColorBlue};
    *members[channel] = value;
    keying::Colour colour;
    colour.r = static_cast<float>(keyColorRed);
    colour.g = static_cast<float>(keyColorGreen);
    colour.b = static_cast<float>(keyColorBlue);
    colour.a = 1.0f;
    SetValuesFromColor(colour, time);
}

void Veskar::SetValuesFromColor(keying::Colour colour, double time) {
    if (ConvertsKeyColour(colorSpaceMode)) {
        colour = keying::ToWorkingSpace(colorSpaceMode, colour);
    } else if (colorSpaceMode != keying::kColourSpaceRgb) {
        return;
    }
    SetInput(inValueRed, colour.r, time);
    SetInput(inValueGreen, colour.g, time);
    SetInput(inValueBlue, colour.b, time);
}

void Veskar::SetColorFromValue(int position, double value, double time) {
    if (position == 3) {
        // The first Value p3 notification arms the key colour direction, in
        // every colour space.
        keyColorArmed = 1;
    }
    if (colorSpaceMode == keying::kColourSpaceRgb) {
        Input* const channels[3] = {inCRed, inCGreen, inCBlue};
        double* const members[3] = {&keyColorRed, &keyColorGreen, &keyColorBlue};
        SetInput(channels[position - 1], value, time);
        *members[position - 1] = value;
        return;
    }
    if (!ConvertsKeyColour(colorSpaceMode)) {
        return;
    }
    keying::Colour key;
    key.r = static_cast<float>(keyColorRed);
    key.g = static_cast<float>(keyColorGreen);
    key.b = static_cast<float>(keyColorBlue);
    key.a = 1.0f;
    keying::Colour working = keying::ToWorkingSpace(colorSpaceMode, key);
    const float edited = static_cast<float>(value);
    if (position == 1) {
        working.r = edited;
    } else if (position == 2) {
        working.g = edited;
    } else {
        working.b = edited;
    }
    const keying::Colour rgb = keying::FromWorkingSpace(colorSpaceMode, working);
    // All three members are stored before any channel is set: a host that
    // notifies those sets finds the members complete.
    keyColorRed = rgb.r;
    keyColorGreen = rgb.g;
    keyColorBlue = rgb.b;
    SetInput(inCRed, ClampForControl(rgb.r), time);
    SetInput(inCGreen, ClampForControl(rgb.g), time);
    SetInput(inCBlue, ClampForControl(rgb.b), time);
}
