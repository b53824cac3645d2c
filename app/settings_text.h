#pragma once

#include <string>

class Operator;

namespace veskar {

/// The tool's number controls as the settings text users copy between the
/// compositing application and files:
/// { Tools = ordered() { Veskar1 = Veskar { Inputs = { Id = Input { Value = v, }, ... }, }, }, }
/// Values carry 17 significant digits, so they read back exactly.
std::string SettingsText(const Operator& tool, const std::string& toolName,
                         const std::string& className);

/// A number as settings text: 17 significant digits; NaN and infinities as
/// the expressions 0/0, 1/0 and -1/0.
std::string SettingsNumber(double value);

}  // namespace veskar
