#include "app/tune/tune_server.h"

#include <signal.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "app/cli_error.h"
#include "app/files/colour_config.h"
#include "app/tune/connections.h"
#include "app/tune/http_json.h"
#include "app/tune/request_guard.h"
#include "app/tune/web_assets.h"
#include "app/tune/workspace_routes.h"

namespace veskar::tune {
namespace {

using nlohmann::json;

void SendError(httplib::Response& response, int status, const std::string& message) {
    response.status = status;
    response.set_content(JsonText(json{{"error", message}}), "application/json");
}

std::string_view ContentType(std::string_view name) {
    if (name.ends_with(".html")) return "text/html; charset=utf-8";
    if (name.ends_with(".css")) return "text/css; charset=utf-8";
    if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
    return "application/octet-stream";
}

// Headers a request may carry once only: with two, the guard would check one
// and the server library use the other.
constexpr const char* kSingleHeaders[] = {"Host", "Origin", "Content-Length", "X-Veskar-Token"};

}  // namespace

class TuneServer::Routes {
public:
    Routes(TuneSession& session, std::string address, const ServerLimits& limits)
        : session_(session),
          address_(std::move(address)),
          http_(limits),
          backgrounds_(session.Options().plate, session.Options().background) {
        http_.set_payload_max_length(kMaxRequestBody);
        http_.set_write_timeout(10, 0);
        Route(http_);
    }

    int Bind(int port) {
        const int bound = port == 0 ? http_.bind_to_any_port(address_)
                                    : (http_.bind_to_port(address_, port) ? port : -1);
        if (bound < 0) {
            throw CliError("cannot listen on " + address_ + ":" + std::to_string(port) +
                           " (in use, or not an address of this machine)");
        }
        AssumePort(bound);
        return bound;
    }
    void AssumePort(int port) { guard_.emplace(NewToken(), address_, port); }
    bool Serve() { return http_.listen_after_bind(); }
    void Stop() { http_.stop(); }
    std::string AnswerBytes(const std::string& request) { return http_.AnswerBytes(request); }
    const RequestGuard& Guard() const { return *guard_; }

private:
    void Route(httplib::Server& http) {
        http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
            Secure(response);
            const auto refusal = RefusalOf(request);
            if (refusal) {
                // The body, if any, is left unread: it must not be read as
                // the connection's next request. The answer says the
                // connection ends, so that a client keeping connections
                // alive sends its next request on a new one.
                Connections::CloseAfterThisAnswer();
                SendError(response, refusal->status, refusal->message);
                response.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        RouteErrors(http);
        RoutePages(http);
    }

    // Why a request is refused before its body is read, or null.
    std::optional<veskar::tune::Refusal> RefusalOf(const httplib::Request& request) const {
        for (const char* name : kSingleHeaders) {
            if (request.get_header_value_count(name) > 1) {
                return veskar::tune::Refusal{400, std::string("the request carries more than one ") + name +
                                                      " header"};
            }
        }
        if (!guard_) {
            return veskar::tune::Refusal{503, "the server has no address yet"};
        }
        std::string token = request.get_header_value("X-Veskar-Token");
        if (token.empty()) token = request.get_param_value("token");
        auto refusal = guard_->Check(request.get_header_value("Host"), request.get_header_value("Origin"),
                                     request.get_header_value("Sec-Fetch-Site"), token);
        // The body is read after this check. A chunked body has no length
        // to hold against the limit beforehand, and the server library
        // does not bound it, so only bodies of a stated length are taken.
        if (!refusal && request.has_header("Transfer-Encoding")) {
            refusal = veskar::tune::Refusal{411, "send the body with a Content-Length, not in chunks"};
        }
        return refusal;
    }

    static void RouteErrors(httplib::Server& http) {
        http.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const RequestError& e) {
                SendError(response, e.Status(), e.what());
            } catch (const CliError& e) {
                SendError(response, 500, e.what());
            } catch (const std::exception& e) {
                SendError(response, 500, e.what());
            } catch (...) {
                SendError(response, 500, "internal error");
            }
        });
        http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty()) return;  // a handler's own message
            const std::string message = response.status == 413   ? "the request body is too large"
                                        : response.status == 404 ? "no such page"
                                                                 : "bad request";
            SendError(response, response.status, message);
        });
    }

    void RoutePages(httplib::Server& http) {
        http.Get("/", [this](const httplib::Request&, httplib::Response& response) { Asset(response, "index.html"); });
        http.Get(R"(/([a-z_]+\.(css|js)))", [this](const httplib::Request& request, httplib::Response& response) {
            Asset(response, request.matches[1].str());
        });
        http.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            response.set_content(JsonText(session_.State()), "application/json");
        });
        http.Post("/api/set", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            session_.ApplyValues(body);
            response.set_content(JsonText(session_.State()), "application/json");
        });
        http.Post("/api/pick", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            session_.Pick(body);
            response.set_content(JsonText(session_.State()), "application/json");
        });
        http.Post("/api/screen", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            const json screen = session_.Screen(body);
            json state = session_.State();
            state["screen"] = screen;
            response.set_content(JsonText(state), "application/json");
        });
        http.Post("/api/save", [this](const httplib::Request& request, httplib::Response& response) {
            // The page cannot name a file: Save writes where the command line said.
            const json body = JsonBody(request);
            if (!body.is_object() || !body.empty()) {
                throw RequestError(400, "Save takes no arguments: it writes to the --save path");
            }
            std::lock_guard lock(mutex_);
            response.set_content(JsonText(session_.Save()), "application/json");
        });
        http.Get("/api/view", [this](const httplib::Request& request, httplib::Response& response) {
            ServeView(request, response);
        });
        RouteWorkspace(http, session_, mutex_, backgrounds_);
        RouteSampling(http);
    }

    // The sample regions, the drawn shapes, the readout of one pixel and the
    // histograms: behind the same guard as every route.
    void RouteSampling(httplib::Server& http) {
        http.Post("/api/samples", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            const json screen = session_.Samples(body);
            json state = session_.State();
            state["screen"] = screen;
            response.set_content(JsonText(state), "application/json");
        });
        http.Post("/api/shapes", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            session_.EditShapes(body);
            response.set_content(JsonText(session_.State()), "application/json");
        });
        http.Get("/api/probe", [this](const httplib::Request& request, httplib::Response& response) {
            const int frame = ParseFrameText(request.get_param_value("frame"));
            const int x = ParseWholeText("x", request.get_param_value("x"));
            const int y = ParseWholeText("y", request.get_param_value("y"));
            std::lock_guard lock(mutex_);
            response.set_content(JsonText(session_.Probe(frame, x, y)), "application/json");
        });
        http.Get("/api/histogram", [this](const httplib::Request& request, httplib::Response& response) {
            const int frame = ParseFrameText(request.get_param_value("frame"));
            std::lock_guard lock(mutex_);
            response.set_content(JsonText(session_.Histogram(frame)), "application/json");
        });
    }

    // A view of a frame. Renders are serialised; a view request that is still
    // waiting when a newer one arrives is answered 409 without rendering, so
    // a slider dragged quickly renders only the latest value.
    void ServeView(const httplib::Request& request, httplib::Response& response) {
        const unsigned long ticket = ++latestView_;
        View view = View::Source;
        if (!ParseView(request.get_param_value("view"), view)) {
            throw RequestError(400, "view must be source, matte, result or status");
        }
        const std::string size = request.get_param_value("size");
        if (size != "proxy" && size != "full") {
            throw RequestError(400, "size must be proxy or full");
        }
        const int frame = ParseFrameText(request.get_param_value("frame"));
        std::lock_guard lock(mutex_);
        if (ticket != latestView_.load()) {
            throw RequestError(409, "superseded by a newer view request");
        }
        const std::string png = WorkspaceView(session_, backgrounds_, request, frame, view, size == "proxy");
        response.set_header("X-Veskar-Revision", std::to_string(session_.Revision()));
        // A keyed view says whether its key keys anything (the source view
        // keys nothing and says nothing of it).
        if (view != View::Source) response.set_header("X-Veskar-Warning", session_.Warning());
        response.set_content(png, "image/png");
    }

    // A file of the page. The page's own links carry the token, as every
    // request must.
    void Asset(httplib::Response& response, const std::string& name) const {
        for (const WebAsset& asset : WebAssets()) {
            if (asset.name == name) {
                std::string content(asset.content);
                const std::string placeholder = "{{token}}";
                for (std::size_t at = content.find(placeholder); at != std::string::npos;
                     at = content.find(placeholder, at)) {
                    content.replace(at, placeholder.size(), guard_->Token());
                }
                response.set_content(content, std::string(ContentType(name)));
                return;
            }
        }
        SendError(response, 404, "no such page");
    }

    // Headers on every answer: nothing cached, nothing embedded elsewhere,
    // no address (with its token) handed on to other sites.
    static void Secure(httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("X-Frame-Options", "DENY");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
                            "connect-src 'self' blob:; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    }

    TuneSession& session_;
    std::string address_;
    Connections http_;
    std::optional<RequestGuard> guard_;
    Backgrounds backgrounds_;
    std::mutex mutex_;
    std::atomic<unsigned long> latestView_{0};
};

TuneServer::TuneServer(TuneSession& session, std::string address, ServerLimits limits)
    : routes_(std::make_unique<Routes>(session, std::move(address), limits)) {}
TuneServer::~TuneServer() = default;
int TuneServer::Bind(int port) { return routes_->Bind(port); }
void TuneServer::AssumePort(int port) { routes_->AssumePort(port); }
bool TuneServer::Serve() { return routes_->Serve(); }
void TuneServer::Stop() { routes_->Stop(); }
std::string TuneServer::PageUrl() const { return routes_->Guard().PageUrl(); }
const std::string& TuneServer::Token() const { return routes_->Guard().Token(); }
std::string TuneServer::AnswerBytes(const std::string& request) { return routes_->AnswerBytes(request); }

int RunTune(const TuneOptions& options) {
    // The server answers only to the address it serves, so "every address"
    // would answer to none; and one that other machines reach must be asked for.
    const std::string problem = ListenAddressProblem(options.listen, options.allowRemote);
    if (!problem.empty()) {
        throw CliError(problem, 2);
    }
    TuneSession session(options);
    // A plate that is not sRGB is shown through the configuration's curve: a
    // broken $OCIO stops the page then, and is only worth a warning otherwise.
    CheckColourConfig(session.ConvertsForDisplay());
    TuneServer server(session, options.listen);
    server.Bind(options.port);

    // Ctrl-C, SIGTERM and SIGHUP (the terminal closed) stop the server from
    // a thread of its own: a signal handler may not call into it, and a save
    // in progress finishes (or removes its temporary) before the process ends.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.Stop();
    });

    std::cout << "veskar tune: open " << server.PageUrl() << "\n"
              << "veskar tune: Ctrl-C stops the server" << std::endl;
    const bool ok = server.Serve();
    if (stopper.joinable()) {
        // Wakes the stopper from its sigwait: the signal is blocked, it ends nothing.
        // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread)
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    return ok ? 0 : 1;
}

}  // namespace veskar::tune
