#pragma once

// The tuning server's connections: how long each may stay silent, how many
// are served at once, and what is answered beyond that. The server library
// reads requests and calls the handlers; this decides the socket's timing.

#include <string>

#include <httplib.h>

#include "app/tune/tune_server.h"

namespace veskar::tune {

/// An HTTP server whose connections each have a thread of a bounded pool
/// (so a slow or silent connection holds up no other), whose reads wait at
/// most `limits.silence` for a byte and end when the request has taken
/// `limits.requestDeadline` to arrive, and which answers a connection
/// beyond `limits.maxConnections` with 503 at once.
class Connections : public httplib::Server {
public:
    explicit Connections(const ServerLimits& limits);

    /// Answers the request in `bytes` as a connection would be answered, with
    /// no socket: the bytes of the answer.
    std::string AnswerBytes(const std::string& bytes);

    /// Set by a handler on the connection's thread: close the connection
    /// after this answer (a request refused before its body was read leaves
    /// that body unread, and it must not be taken for the next request).
    static void CloseAfterThisAnswer() noexcept;

private:
    bool process_and_close_socket(socket_t sock) override;

    ServerLimits limits_;
};

}  // namespace veskar::tune
