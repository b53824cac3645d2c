#include "app/tune/tune_server.h"

#include <signal.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "app/cli_error.h"
#include "app/tune/request_guard.h"
#include "app/tune/web_assets.h"

namespace veskar::tune {
namespace {

using nlohmann::json;

void SendError(httplib::Response& response, int status, const std::string& message) {
    response.status = status;
    response.set_content(json{{"error", message}}.dump(), "application/json");
}

std::string_view ContentType(std::string_view name) {
    if (name.ends_with(".html")) return "text/html; charset=utf-8";
    if (name.ends_with(".css")) return "text/css; charset=utf-8";
    if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
    return "application/octet-stream";
}

// The body of a POST as JSON, or RequestError 4xx.
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

// Serves one session: every call into it holds the session lock, so the tool
// processes one request at a time and values never change under a render.
class Server {
public:
    Server(const TuneOptions& options, TuneSession& session) : options_(options), session_(session) {}

    int Run() {
        httplib::Server http;
        http.set_payload_max_length(kMaxRequestBody);
        http.set_read_timeout(10, 0);
        http.set_write_timeout(10, 0);
        const int port = options_.port == 0 ? http.bind_to_any_port(options_.listen)
                                            : (http.bind_to_port(options_.listen, options_.port) ? options_.port : -1);
        if (port < 0) {
            throw CliError("cannot listen on " + options_.listen + ":" + std::to_string(options_.port) +
                           " (in use, or not an address of this machine)");
        }
        guard_.emplace(NewToken(), options_.listen, port);
        Route(http);

        // Ctrl-C and SIGTERM stop the server from a thread of its own: a
        // signal handler may not call into it.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        std::thread stopper([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            http.stop();
        });

        std::cout << "veskar tune: open " << guard_->PageUrl() << "\n"
                  << "veskar tune: Ctrl-C stops the server" << std::endl;
        const bool ok = http.listen_after_bind();
        if (stopper.joinable()) {
            // Wakes the stopper from its sigwait: the signal is blocked, it ends nothing.
            // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread)
            pthread_kill(stopper.native_handle(), SIGTERM);
            stopper.join();
        }
        return ok ? 0 : 1;
    }

private:
    void Route(httplib::Server& http) {
        http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
            Secure(response);
            std::string token = request.get_header_value("X-Veskar-Token");
            if (token.empty()) token = request.get_param_value("token");
            const auto refusal = guard_->Check(request.get_header_value("Host"), request.get_header_value("Origin"),
                                               request.get_header_value("Sec-Fetch-Site"), token);
            if (refusal) {
                SendError(response, refusal->status, refusal->message);
                return httplib::Server::HandlerResponse::Handled;
            }
            // The body is read after this check. A chunked body has no length
            // to hold against the limit beforehand, and the server library
            // does not bound it, so only bodies of a stated length are taken.
            if (request.has_header("Transfer-Encoding")) {
                SendError(response, 411, "send the body with a Content-Length, not in chunks");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
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

        http.Get("/", [this](const httplib::Request&, httplib::Response& response) { Asset(response, "index.html"); });
        http.Get(R"(/(tune\.css|tune\.js))", [this](const httplib::Request& request, httplib::Response& response) {
            Asset(response, request.matches[1].str());
        });
        http.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            response.set_content(session_.State().dump(), "application/json");
        });
        http.Post("/api/set", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            session_.ApplyValues(body);
            response.set_content(session_.State().dump(), "application/json");
        });
        http.Post("/api/pick", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            session_.Pick(body);
            response.set_content(session_.State().dump(), "application/json");
        });
        http.Post("/api/screen", [this](const httplib::Request& request, httplib::Response& response) {
            const json body = JsonBody(request);
            std::lock_guard lock(mutex_);
            const json screen = session_.Screen(body);
            json state = session_.State();
            state["screen"] = screen;
            response.set_content(state.dump(), "application/json");
        });
        http.Post("/api/save", [this](const httplib::Request& request, httplib::Response& response) {
            // The page cannot name a file: Save writes where the command line said.
            const json body = JsonBody(request);
            if (!body.is_object() || !body.empty()) {
                throw RequestError(400, "Save takes no arguments: it writes to the --save path");
            }
            std::lock_guard lock(mutex_);
            response.set_content(session_.Save().dump(), "application/json");
        });
        http.Get("/api/view", [this](const httplib::Request& request, httplib::Response& response) {
            ServeView(request, response);
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
        const json frame = json::parse(request.get_param_value("frame"), nullptr, false);
        if (!frame.is_number_integer()) {
            throw RequestError(400, "frame must be a whole number");
        }
        std::lock_guard lock(mutex_);
        if (ticket != latestView_.load()) {
            throw RequestError(409, "superseded by a newer view request");
        }
        const long long number = frame.get<long long>();
        if (number < INT32_MIN || number > INT32_MAX) {
            throw RequestError(400, "frame " + std::to_string(number) + " is not a frame of this session");
        }
        const std::string png = session_.ViewPng(static_cast<int>(number), view, size == "proxy");
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

    const TuneOptions& options_;
    TuneSession& session_;
    std::optional<RequestGuard> guard_;
    std::mutex mutex_;
    std::atomic<unsigned long> latestView_{0};
};

}  // namespace

int RunTune(const TuneOptions& options) {
    if (!IsNumericAddress(options.listen)) {
        throw CliError("--listen " + options.listen + ": give a numeric address such as 127.0.0.1", 2);
    }
    // The server answers only to the address it serves, so "every address"
    // would answer to none: name the one the browser will use.
    if (options.listen == "0.0.0.0" || options.listen == "::") {
        throw CliError("--listen " + options.listen + ": name one address of this machine, not all of them", 2);
    }
    TuneSession session(options);
    return Server(options, session).Run();
}

}  // namespace veskar::tune
