#include "tool/veskar.h"

void Veskar::NotifyChanged(Input* input, Parameter* value, double time, TagList* tags) {
    // Every notification reaches the host's own handler, unchanged.
    Operator::NotifyChanged(input, value, time, tags);
}
