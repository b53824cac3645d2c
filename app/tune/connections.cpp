#include "app/tune/connections.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace veskar::tune {
namespace {

using Clock = std::chrono::steady_clock;

// Set on the accepting thread while it turns away a connection that found
// every connection thread taken.
thread_local bool tTurnAway = false;
// Set by a handler: close the connection after the answer it is writing.
thread_local bool tCloseAfter = false;

// How long to wait for a write to make progress: a view of a large plate is
// megabytes, which a client on this machine takes in at once.
constexpr std::chrono::seconds kWriteSilence{10};
// Between two requests of a kept-alive connection the server looks this often
// whether it is being stopped.
constexpr std::chrono::milliseconds kStopCheck{100};

int Milliseconds(Clock::duration duration) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 1 << 30));
}

bool Ready(int socket, short events, int milliseconds) {
    pollfd polled{socket, events, 0};
    int result = 0;
    do {
        result = ::poll(&polled, 1, milliseconds);
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

void AddressOf(int socket, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int got = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                         : ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (got == 0 && ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

// A connection's socket under the server's limits. Reads come through a small
// buffer, as the library reads the head a byte at a time.
class LimitedStream : public httplib::Stream {
public:
    LimitedStream(int socket, const ServerLimits& limits) : socket_(socket), limits_(limits) {}

    // Waits, up to the silence allowed, for the next request of the
    // connection; false when none comes or the server is stopping.
    bool WaitForRequest(const std::atomic<socket_t>& listening) {
        if (start_ < end_) {
            deadline_ = Clock::now() + limits_.requestDeadline;
            return true;
        }
        const Clock::time_point until = Clock::now() + limits_.silence;
        while (listening != INVALID_SOCKET) {
            const Clock::duration left = until - Clock::now();
            if (left <= Clock::duration::zero()) return false;
            if (Ready(socket_, POLLIN, std::min(Milliseconds(left), static_cast<int>(kStopCheck.count())))) {
                deadline_ = Clock::now() + limits_.requestDeadline;
                return true;
            }
        }
        return false;
    }

    bool is_readable() const override { return start_ < end_ || Ready(socket_, POLLIN, ReadWait()); }
    bool is_writable() const override { return Ready(socket_, POLLOUT, Milliseconds(kWriteSilence)); }

    ssize_t read(char* data, size_t size) override {
        if (start_ == end_) {
            // The silence allowed, cut short by the request's deadline: a
            // sender that trickles a byte at a time still ends in time.
            if (Clock::now() >= deadline_ || !Ready(socket_, POLLIN, ReadWait())) return -1;
            const ssize_t got = ::recv(socket_, buffer_, sizeof buffer_, 0);
            if (got <= 0) return got;
            start_ = 0;
            end_ = static_cast<std::size_t>(got);
        }
        const std::size_t taken = std::min(size, end_ - start_);
        std::memcpy(data, buffer_ + start_, taken);
        start_ += taken;
        return static_cast<ssize_t>(taken);
    }

    ssize_t write(const char* data, size_t size) override {
        if (!is_writable()) return -1;
        return ::send(socket_, data, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { AddressOf(socket_, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { AddressOf(socket_, false, ip, port); }
    socket_t socket() const override { return socket_; }

private:
    int ReadWait() const {
        const Clock::duration left = deadline_ - Clock::now();
        return left <= Clock::duration::zero() ? 0 : std::min(Milliseconds(left), Milliseconds(limits_.silence));
    }

    int socket_;
    ServerLimits limits_;
    Clock::time_point deadline_ = Clock::now();
    char buffer_[4096];
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

// A request held in memory, and its answer.
class MemoryStream : public httplib::Stream {
public:
    explicit MemoryStream(const std::string& request) : request_(request) {}

    bool is_readable() const override { return at_ < request_.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* data, size_t size) override {
        const std::size_t taken = std::min(size, request_.size() - at_);
        std::memcpy(data, request_.data() + at_, taken);
        at_ += taken;
        return static_cast<ssize_t>(taken);
    }
    ssize_t write(const char* data, size_t size) override {
        answer_.append(data, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = "127.0.0.1";
        port = 0;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override { get_remote_ip_and_port(ip, port); }
    socket_t socket() const override { return INVALID_SOCKET; }

    const std::string& Answer() const noexcept { return answer_; }

private:
    const std::string& request_;
    std::size_t at_ = 0;
    std::string answer_;
};

// The connection threads: a fixed number, each serving one connection at a
// time. A connection that finds them all taken is turned away at once on the
// accepting thread (see process_and_close_socket), never queued behind a
// silent one.
class ConnectionPool : public httplib::TaskQueue {
public:
    explicit ConnectionPool(int size) : size_(size) {
        for (int i = 0; i < size; ++i) threads_.emplace_back([this] { Work(); });
    }

    void enqueue(std::function<void()> connection) override {
        {
            std::lock_guard lock(mutex_);
            if (taken_ < size_) {
                ++taken_;
                waiting_.push_back(std::move(connection));
                wake_.notify_one();
                return;
            }
        }
        tTurnAway = true;
        connection();
        tTurnAway = false;
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> connection;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
                if (waiting_.empty()) return;
                connection = std::move(waiting_.front());
                waiting_.pop_front();
            }
            connection();
            std::lock_guard lock(mutex_);
            --taken_;
        }
    }

    const int size_;
    int taken_ = 0;  // connections waiting or being served
    bool stopping_ = false;
    std::deque<std::function<void()>> waiting_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::thread> threads_;
};

// The answer to a connection beyond the limit, written without reading its
// request (it could be as slow as those that hold the threads).
void TurnAway(int socket) {
    const std::string body = R"({"error":"the server is busy with other connections: try again"})";
    const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                               "Content-Length: " + std::to_string(body.size()) +
                               "\r\nRetry-After: 1\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
    (void)::send(socket, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(socket, SHUT_WR);
    // What the client has sent already is read away, so that closing does
    // not reset the connection before the client reads the answer.
    char sink[4096];
    while (::recv(socket, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

Connections::Connections(const ServerLimits& limits) : limits_(limits) {
    const int size = std::max(1, limits.maxConnections);
    new_task_queue = [size] { return new ConnectionPool(size); };
}

void Connections::CloseAfterThisAnswer() noexcept {
    tCloseAfter = true;
}

std::string Connections::AnswerBytes(const std::string& bytes) {
    MemoryStream stream(bytes);
    bool closed = false;
    process_request(stream, true, closed, nullptr);
    return stream.Answer();
}

bool Connections::process_and_close_socket(socket_t sock) {
    bool served = true;
    if (tTurnAway) {
        TurnAway(sock);
    } else {
        LimitedStream stream(sock, limits_);
        for (std::size_t left = keep_alive_max_count_; left > 0 && stream.WaitForRequest(svr_sock_); --left) {
            tCloseAfter = false;
            bool closed = false;
            served = process_request(stream, left == 1, closed, nullptr);
            if (!served || closed || tCloseAfter) break;
        }
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return served;
}

}  // namespace veskar::tune
