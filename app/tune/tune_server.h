#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "app/subcommand.h"
#include "app/tune/tune_session.h"

namespace veskar::tune {

/// Most bytes a request body may hold: a page's change is a few hundred.
inline constexpr std::size_t kMaxRequestBody = std::size_t{64} * 1024;

/// How the server bounds its connections, so that silent or slow ones cannot
/// hold up the page's requests.
struct ServerLimits {
    /// Connections served at once, each on a thread of its own; one beyond
    /// them is answered 503 at once. A browser opens six to a server.
    int maxConnections = 16;
    /// Longest a connection may stay silent: within a request's head or body,
    /// and between the requests of a kept-alive connection.
    std::chrono::milliseconds silence{3000};
    /// Longest a request's head and body may take to arrive, however they
    /// trickle in.
    std::chrono::milliseconds requestDeadline{10000};
};

/// The tuning page's HTTP server for one session: the page, its state, the
/// changes, views and saves, behind the request guard (token, Host, Origin).
/// Calls into the session hold one lock, so the tool processes one request
/// at a time and values never change under a render; connections are read
/// concurrently under `limits`.
class TuneServer {
public:
    /// A server for `session` on the numeric `address` (which the caller has
    /// checked with ListenAddressProblem).
    TuneServer(TuneSession& session, std::string address, ServerLimits limits = {});
    ~TuneServer();
    TuneServer(const TuneServer&) = delete;
    TuneServer& operator=(const TuneServer&) = delete;

    /// Binds the address at `port` (0: any free port) and returns the port.
    /// Throws CliError when it cannot be bound.
    int Bind(int port);
    /// Answers as if bound at `port`, without a socket: for AnswerBytes.
    void AssumePort(int port);
    /// Serves until Stop is called; false when serving failed.
    bool Serve();
    /// Stops Serve from another thread; connections in progress are ended.
    void Stop();

    /// The address to open, token included.
    std::string PageUrl() const;
    const std::string& Token() const;

    /// Answers one HTTP request given as its bytes, as a connection would be
    /// answered, without a socket; returns the answer's bytes.
    std::string AnswerBytes(const std::string& request);

private:
    class Routes;
    std::unique_ptr<Routes> routes_;
};

/// `veskar tune`: serves the tuning page for the plates of `options` until
/// interrupted (Ctrl-C or SIGTERM). Prints the address to open, with its
/// token, on stdout. Throws CliError when the session cannot start or the
/// address cannot be served or bound (exit 2 for an address refused).
int RunTune(const TuneOptions& options);

/// Adds `tune` to `app`.
Subcommand AddTuneCommand(CLI::App& app);

}  // namespace veskar::tune
