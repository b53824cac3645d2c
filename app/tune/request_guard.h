#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veskar::tune {

/// A request the server turns away, with the HTTP status to answer.
struct Refusal {
    int status;
    std::string message;
};

/// Decides who may talk to the tuning server. A web page from anywhere can
/// make the user's browser send requests to a port on this machine, and a
/// name the attacker controls can be made to resolve to 127.0.0.1 (DNS
/// rebinding), so every request must carry the secret token printed in the
/// address, name the address served in Host, and, when the browser says where
/// it comes from, come from a page of that same address.
class RequestGuard {
public:
    /// `address` is the numeric address the server listens on (127.0.0.1 by
    /// default, or what --listen names), `port` the port it got.
    RequestGuard(std::string token, const std::string& address, int port);

    /// Null when the request may go on. `host`, `origin` and `fetchSite` are
    /// the Host, Origin and Sec-Fetch-Site headers ("" when absent), `token`
    /// the token the request carries ("" when none).
    std::optional<Refusal> Check(std::string_view host, std::string_view origin, std::string_view fetchSite,
                                 std::string_view token) const;

    const std::string& Token() const noexcept { return token_; }
    /// The address to open, token included: http://127.0.0.1:PORT/?token=...
    std::string PageUrl() const;

private:
    std::string token_;
    std::vector<std::string> hosts_;  // Host values accepted; the first is the one printed
};

/// 32 hex digits from the system's random source.
std::string NewToken();

/// Whether `address` is a numeric IPv4 or IPv6 address (not a name).
bool IsNumericAddress(const std::string& address);

/// Why the server may not listen on `address`, or "" when it may. Refused:
/// anything but a numeric address; every-address forms (0.0.0.0, ::, ::0,
/// ::ffff:0.0.0.0 ...), the broadcast address and multicast addresses, which
/// name no one interface; and, unless `allowRemote`, any address but a
/// loopback one (127/8, ::1, ::ffff:127/104), which other machines can reach.
std::string ListenAddressProblem(const std::string& address, bool allowRemote);

}  // namespace veskar::tune
