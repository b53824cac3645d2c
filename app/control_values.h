#pragma once

#include <string>
#include <vector>

class Input;
class Operator;

namespace veskar {

/// Whether `input` is a control that holds a number (not an image, not a label).
bool HoldsNumber(const Input& input);

/// The kind of control an input shows: "Slider", "Combo", "Checkbox",
/// "Color", "MultiButton", "Label", "Image"; "-" for none.
std::string ControlKind(const Input& input);

/// The entry texts of a combo or multibutton, in entry order (empty otherwise).
std::vector<std::string> EntriesOf(const Input& input);

/// Reads a control value as the command line and settings files write it: a
/// number; for a combo or multibutton also an entry's text (its position);
/// for a checkbox also on/off (1/0). Returns false with `error` saying why,
/// naming the valid entries ("'Cosin' is not an entry of keyfall (Linear,
/// Cosine, HalfCos, BCos)").
bool ParseControlValue(const Input& input, const std::string& text, double& value, std::string& error);

/// Ids of every input of `tool`, in creation order.
std::vector<std::string> InputIds(const Operator& tool);

/// "unknown control 'X'" with a hint at the closest id of `tool`, if any.
std::string UnknownControlMessage(const Operator& tool, const std::string& id);

/// A number as the control table shows it: the shortest text that reads back
/// as the same double ("0.5", "1e-06").
std::string ShortNumber(double value);

}  // namespace veskar
