#pragma once

#include <string>
#include <utility>
#include <vector>

class Operator;

namespace veskar {

/// The tool's number controls as the settings text users copy between the
/// compositing application and files:
/// { Tools = ordered() { Veskar1 = Veskar { Inputs = { Id = Input { Value = v, }, ... }, }, }, }
/// Values carry 17 significant digits, so they read back exactly.
std::string SettingsText(const Operator& tool, const std::string& toolName,
                         const std::string& className);

/// Control ids with their values, in the order to write them.
using SettingsValues = std::vector<std::pair<std::string, double>>;

/// The same text for values given by id.
std::string SettingsText(const SettingsValues& values, const std::string& toolName,
                         const std::string& className);

/// A number as settings text: 17 significant digits, locale-independent;
/// negative zero as -0.0, NaN as 0/0 or -(0/0) by its sign, infinities as 1/0
/// and -1/0, so that every value reads back with the same bits.
std::string SettingsNumber(double value);

}  // namespace veskar
