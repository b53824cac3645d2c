#include "app/tune/workspace_routes.h"

#include "app/tune/http_json.h"

namespace veskar::tune {
namespace {

using nlohmann::json;

void SendState(httplib::Response& response, const TuneSession& session, json extra = json::object()) {
    json state = session.State();
    state.update(extra);
    response.set_content(JsonText(state), "application/json");
}

// A POST whose JSON body goes to one of the session's calls, answered with the state.
template <typename Call>
void PostChange(httplib::Server& http, const char* path, TuneSession& session, std::mutex& mutex, Call call) {
    http.Post(path, [&session, &mutex, call](const httplib::Request& request, httplib::Response& response) {
        const json body = JsonBody(request);
        std::lock_guard lock(mutex);
        SendState(response, session, call(body));
    });
}

}  // namespace

void RouteWorkspace(httplib::Server& http, TuneSession& session, std::mutex& mutex, Backgrounds& backgrounds) {
    const auto stepping = [&session](bool undo) {
        return [&session, undo](const json& body) {
            if (!body.is_object() || !body.empty()) {
                throw RequestError(400, std::string(undo ? "Undo" : "Redo") + " takes no arguments");
            }
            return json{{"changed", undo ? session.Undo() : session.Redo()}};
        };
    };
    PostChange(http, "/api/undo", session, mutex, stepping(true));
    PostChange(http, "/api/redo", session, mutex, stepping(false));
    PostChange(http, "/api/snapshot", session, mutex,
               [&session](const json& body) { return json{{"snapshot", session.TakeSnapshot(body)}}; });
    PostChange(http, "/api/snapshot/restore", session, mutex, [&session](const json& body) {
        session.RestoreSnapshot(body);
        return json::object();
    });
    PostChange(http, "/api/snapshot/delete", session, mutex, [&session](const json& body) {
        session.DeleteSnapshot(body);
        return json::object();
    });
    http.Get("/api/backgrounds", [&mutex, &backgrounds](const httplib::Request&, httplib::Response& response) {
        std::lock_guard lock(mutex);
        response.set_content(JsonText(backgrounds.List()), "application/json");
    });
}

std::string WorkspaceView(TuneSession& session, Backgrounds& backgrounds, const httplib::Request& request, int frame,
                          View view, bool proxy) {
    std::string png;
    if (request.has_param("snapshot")) {
        const std::string text = request.get_param_value("snapshot");
        if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
            throw RequestError(400, "snapshot must be a snapshot's number, not '" + Shortened(text) + "'");
        }
        png = session.SnapshotPng(std::stoi(text), frame, view, proxy);
    } else {
        png = session.ViewPng(frame, view, proxy);
    }
    if (!request.has_param("over")) return png;
    if (view != View::Result) {
        throw RequestError(400, "a background is laid under the result view only");
    }
    return backgrounds.Over(png, request.get_param_value("over"));
}

}  // namespace veskar::tune
