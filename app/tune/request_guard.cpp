#include "app/tune/request_guard.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <optional>
#include <cstdint>
#include <cstdio>
#include <random>

namespace veskar::tune {
namespace {

// An address parsed: IPv4 as its 32 bits, IPv6 as its 16 bytes; a v4-mapped
// IPv6 address (::ffff:a.b.c.d) also gives its IPv4 address, as the socket
// it is bound to serves that address.
struct ParsedAddress {
    bool valid = false;
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};
    std::optional<std::uint32_t> v4;
};

ParsedAddress Parse(const std::string& address) {
    ParsedAddress parsed;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        parsed.valid = true;
        parsed.v4 = ntohl(v4.s_addr);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        parsed.valid = true;
        parsed.v6 = true;
        std::copy(std::begin(v6.s6_addr), std::end(v6.s6_addr), parsed.bytes.begin());
        const bool mapped = std::all_of(parsed.bytes.begin(), parsed.bytes.begin() + 10, [](auto b) { return b == 0; }) &&
                            parsed.bytes[10] == 0xff && parsed.bytes[11] == 0xff;
        if (mapped) {
            parsed.v4 = std::uint32_t{parsed.bytes[12]} << 24 | std::uint32_t{parsed.bytes[13]} << 16 |
                        std::uint32_t{parsed.bytes[14]} << 8 | parsed.bytes[15];
        }
    }
    return parsed;
}

// An IPv6 address as browsers write it in a URL and in Host: hexadecimal
// groups without leading zeros, the first longest run of two or more zero
// groups as "::", and never an embedded dotted IPv4 address.
std::string UrlIpv6(const std::array<unsigned char, 16>& bytes) {
    int groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < 8;) {
        int end = i;
        while (end < 8 && groups[end] == 0) ++end;
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        char group[8];
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += (text.empty() || text.back() == ':' ? "" : ":") + std::string(group);
    }
    return text;
}

// Why no one interface answers to `v4`, or "" when one can.
std::string Ipv4Problem(std::uint32_t v4) {
    if (v4 == 0) return "names every address of this machine, not one";
    if (v4 == 0xffffffffu) return "is the broadcast address, not an address of this machine";
    if ((v4 >> 28) == 0xe) return "is a multicast address, not an address of this machine";
    return "";
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
    return Parse(address).valid;
}

std::string ListenAddressProblem(const std::string& address, bool allowRemote) {
    const std::string named = "--listen " + address + ": ";
    const ParsedAddress parsed = Parse(address);
    if (!parsed.valid) {
        return named + "give a numeric address such as 127.0.0.1";
    }
    bool loopback = false;
    if (parsed.v4) {
        const std::string problem = Ipv4Problem(*parsed.v4);
        if (!problem.empty()) return named + problem;
        loopback = (*parsed.v4 >> 24) == 127;
    } else {
        const auto& b = parsed.bytes;
        if (std::all_of(b.begin(), b.end(), [](auto x) { return x == 0; })) {
            return named + "names every address of this machine, not one";
        }
        if (b[0] == 0xff) return named + "is a multicast address, not an address of this machine";
        loopback = std::all_of(b.begin(), b.end() - 1, [](auto x) { return x == 0; }) && b[15] == 1;
    }
    // Another machine reaches the page through any other address: only a
    // loopback one keeps it to this machine unless the user says otherwise.
    if (!loopback && !allowRemote) {
        return named + "other machines could reach the page there: serve a loopback address (127.0.0.1, ::1), " +
               "or give --allow-remote";
    }
    return "";
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
    const ParsedAddress parsed = Parse(address);
    // The first form is the one a browser sends for the printed address; a
    // client that sends the address as --listen wrote it is answered too.
    if (parsed.valid && parsed.v6) {
        hosts_.push_back("[" + UrlIpv6(parsed.bytes) + "]" + suffix);
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, parsed.bytes.data(), text, sizeof text);
        for (const std::string& form : {"[" + std::string(text) + "]" + suffix, "[" + address + "]" + suffix}) {
            if (std::find(hosts_.begin(), hosts_.end(), form) == hosts_.end()) hosts_.push_back(form);
        }
    } else {
        hosts_.push_back(address + suffix);
    }
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
