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

/// A POST body that must be `{}`, or RequestError 400 saying what `action`
/// takes instead.
void EmptyBody(const httplib::Request& request, const std::string& refusal);

}  // namespace veskar::tune
