#include "app/tune/http_json.h"

#include "app/tune/tune_session.h"

namespace veskar::tune {

using nlohmann::json;

std::string JsonText(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json JsonBody(const httplib::Request& request) {
    const std::string type = request.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) != 0) {
        throw RequestError(415, "the body must be JSON (Content-Type: application/json)");
    }
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
        throw RequestError(400, "the body is not valid JSON");
    }
    return body;
}

}  // namespace veskar::tune
