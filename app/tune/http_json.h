#pragma once

#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace veskar::tune {

/// JSON text of an answer. Messages name what a request sent (a Host, a
/// frame), and file names need not be UTF-8: bytes that are not are replaced
/// (U+FFFD), where the library would throw on them.
std::string JsonText(const nlohmann::json& value);

/// The body of a POST as JSON, or RequestError 4xx.
nlohmann::json JsonBody(const httplib::Request& request);

}  // namespace veskar::tune
