// Reactions to control changes: mode copies for the render, the Channel
// buttons' slider visibility, and the hand-over to the key colour entry.

#include <atomic>

#include "host/tags.h"
#include "keying/snapshot.h"
#include "tool/veskar.h"

void Veskar::NotifyChanged(Input* input, Parameter* value, double time, TagList* tags) {
    // Only a number carries a value the reactions read; a notification without
    // one (or with an image) is only passed on.
    if (const auto* number = dynamic_cast<const Number*>(value)) {
        const double v = number->Value();
        if (input == inColorspace) {
            ColorSpaceChanged(v);
        } else if (input == inKeyfall) {
            falloffMode.store(keying::RoundMode(v), std::memory_order_relaxed);
        } else if (input == inCRed) {
            KeyColorChanged(0, v, time);
        } else if (input == inCGreen) {
            KeyColorChanged(1, v, time);
        } else if (input == inCBlue) {
            KeyColorChanged(2, v, time);
        } else if (input == inValueRed) {
            SetColorFromValue(1, v, time);
        } else if (input == inValueGreen) {
            SetColorFromValue(2, v, time);
        } else if (input == inValueBlue) {
            SetColorFromValue(3, v, time);
        } else if (input == inKeyalgo) {
            keyerMode.store(keying::RoundMode(v), std::memory_order_relaxed);
        } else if (input == inChannel) {
            ShowChannel(keying::RoundMode(v));
        }
    }
    Operator::NotifyChanged(input, value, time, tags);
}

void Veskar::ShowChannel(std::int32_t channel) {
    if (channel < 0 || channel > 2) {
        return;  // a value without a button changes nothing
    }
    Input* const sliders[9] = {inValueRed, inValueGreen, inValueBlue, inMiRedn, inMinGreen,
                               inMinBlue,  inMaxRed,     inMaxGreen,  inMaxBlue};
    for (int i = 0; i < 9; ++i) {
        const TagItem items[] = {TagInt(kInpVisible, i % 3 == channel ? 1 : 0), kTagEnd};
        sliders[i]->SetAttrsTagList(TagList(items, false));
    }
}
