#include "app/tune/request_guard.h"

#include <arpa/inet.h>

#include <cstdint>
#include <random>

namespace veskar::tune {
namespace {

bool IsIpv6(const std::string& address) {
    in6_addr parsed{};
    return inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

// Compares in time that does not depend on where the texts first differ, so
// the token cannot be guessed digit by digit from answer times.
bool SameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

}  // namespace

bool IsNumericAddress(const std::string& address) {
    in_addr v4{};
    return inet_pton(AF_INET, address.c_str(), &v4) == 1 || IsIpv6(address);
}

std::string NewToken() {
    std::random_device device;  // the system's random source
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t word = device();
        for (int k = 0; k < 8; ++k, word >>= 4) {
            token += kHex[word & 0xf];
        }
    }
    return token;
}

RequestGuard::RequestGuard(std::string token, const std::string& address, int port) : token_(std::move(token)) {
    const std::string suffix = ":" + std::to_string(port);
    hosts_.push_back((IsIpv6(address) ? "[" + address + "]" : address) + suffix);
    // "localhost" cannot be rebound by a foreign site: the browser sends the
    // site's own name in Host.
    if (address == "127.0.0.1" || address == "::1") {
        hosts_.push_back("localhost" + suffix);
    }
}

std::optional<Refusal> RequestGuard::Check(std::string_view host, std::string_view origin, std::string_view fetchSite,
                                           std::string_view token) const {
    bool knownHost = false;
    for (const std::string& accepted : hosts_) {
        knownHost = knownHost || host == accepted;
    }
    if (!knownHost) {
        return Refusal{403, "Host '" + std::string(host) + "' is not the address this server answers to (" +
                                hosts_.front() + ")"};
    }
    if (!origin.empty()) {
        bool knownOrigin = false;
        for (const std::string& accepted : hosts_) {
            knownOrigin = knownOrigin || origin == "http://" + accepted;
        }
        if (!knownOrigin) {
            return Refusal{403, "requests from the page '" + std::string(origin) + "' are not accepted"};
        }
    }
    if (fetchSite == "cross-site") {
        return Refusal{403, "requests from other sites are not accepted"};
    }
    if (token.empty()) {
        return Refusal{403, "the request carries no token: open the address veskar tune printed"};
    }
    if (!SameSecret(token, token_)) {
        return Refusal{403, "wrong token: open the address veskar tune printed"};
    }
    return std::nullopt;
}

std::string RequestGuard::PageUrl() const {
    return "http://" + hosts_.front() + "/?token=" + token_;
}

}  // namespace veskar::tune
