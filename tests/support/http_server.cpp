#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace kestrova::testing {

namespace {

using Clock = std::chrono::steady_clock;

// No connection outlives this, whatever its response asks for.
constexpr auto connection_limit = std::chrono::seconds(60);
constexpr std::size_t max_request_head = 64 * 1024;

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

const char* reason_phrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::optional<HttpRequest> parse_head(std::string_view head) {
    HttpRequest request;
    const auto line_end = head.find("\r\n");
    const std::string_view first = head.substr(0, line_end);
    const auto sp1 = first.find(' ');
    const auto sp2 = first.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return std::nullopt;
    request.method = first.substr(0, sp1);
    request.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view path = request.target;
    if (auto scheme = path.find("://"); scheme != std::string_view::npos) {  // absolute form (proxies)
        const auto slash = path.find('/', scheme + 3);
        path = slash == std::string_view::npos ? std::string_view("/") : path.substr(slash);
    }
    request.path = path.substr(0, path.find('?'));
    std::size_t from = line_end == std::string_view::npos ? head.size() : line_end + 2;
    while (from < head.size()) {
        const auto end = std::min(head.find("\r\n", from), head.size());
        const std::string_view line = head.substr(from, end - from);
        from = end + 2;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        request.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                     std::string(trim(line.substr(colon + 1))));
    }
    return request;
}

}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (iequals(key, name)) return value;
    }
    return std::nullopt;
}

HttpResponse HttpResponse::text(int status, std::string body, std::string content_type) {
    HttpResponse r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplace_back("Content-Type", std::move(content_type));
    return r;
}

HttpResponse HttpResponse::redirect(std::string location, int status) {
    HttpResponse r = text(status, "moved\n");
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

HttpResponse HttpResponse::never_answer() {
    HttpResponse r;
    r.kind = Kind::never_answer;
    return r;
}

HttpResponse HttpResponse::slow_body(std::size_t size, std::chrono::milliseconds per_byte) {
    HttpResponse r;
    r.kind = Kind::slow_body;
    r.generated_size = size;
    r.delay = per_byte;
    return r;
}

HttpResponse HttpResponse::endless_body() {
    HttpResponse r;
    r.kind = Kind::endless_body;
    r.declare_length = false;
    return r;
}

HttpResponse HttpResponse::big_body(std::size_t size, bool declare_length) {
    HttpResponse r;
    r.kind = Kind::generated;
    r.generated_size = size;
    r.declare_length = declare_length;
    return r;
}

HttpResponse HttpResponse::cut_body(std::size_t declared, std::size_t sent) {
    HttpResponse r = big_body(declared);
    r.kind = Kind::cut_body;
    r.sent_size = sent;
    return r;
}

HttpResponse HttpResponse::stalled_body(std::size_t declared, std::size_t sent) {
    HttpResponse r = cut_body(declared, sent);
    r.kind = Kind::stalled_body;
    return r;
}

struct HttpServer::Impl {
    int listen_fd = -1;
    int stop_pipe[2] = {-1, -1};  // readable once the server stops: wakes every poll
    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::map<std::string, Handler, std::less<>> routes;
    std::vector<HttpRequest> log;
    std::vector<std::thread> connections;
    std::thread acceptor;

    // Waits for `events` on `fd`, for the stop pipe, or until `until`. True when `fd` is ready.
    bool wait_for(int fd, short events, Clock::time_point until) const {
        for (;;) {
            if (stopping) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return false;
            pollfd fds[2] = {{fd, events, 0}, {stop_pipe[0], POLLIN, 0}};
            const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
            if (n < 0 && errno != EINTR) return false;
            if (fds[1].revents != 0) return false;
            if (n > 0 && fds[0].revents != 0) return true;
        }
    }

    bool send_all(int fd, std::string_view data, Clock::time_point until) const {
        while (!data.empty()) {
            if (!wait_for(fd, POLLOUT, until)) return false;
            const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                return false;  // the client went away
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    void serve(int fd) {
        const auto until = Clock::now() + connection_limit;
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (head.size() > max_request_head || !wait_for(fd, POLLIN, until)) return;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) return;
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                return;
            }
            head.append(buffer, static_cast<std::size_t>(n));
            // Not HTTP at all (a TLS handshake, say): answer at once rather than wait for a head.
            if (head[0] < 'A' || head[0] > 'Z') {
                send_all(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", until);
                return;
            }
        }
        auto request = parse_head(std::string_view(head).substr(0, head.find("\r\n\r\n") + 2));
        if (!request) {
            send_all(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", until);
            return;
        }
        Handler handler;
        {
            std::lock_guard lock(mutex);
            log.push_back(*request);
            if (auto found = routes.find(request->path); found != routes.end()) handler = found->second;
        }
        const HttpResponse response = handler ? handler(*request) : HttpResponse::text(404, "not found\n");
        respond(fd, response, until);
    }

    void respond(int fd, const HttpResponse& r, Clock::time_point until) const {
        using Kind = HttpResponse::Kind;
        if (r.kind == Kind::never_answer) {
            // Hold the connection until the client gives up or the server stops.
            while (wait_for(fd, POLLIN, until)) {
                char sink[512];
                const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
            }
            return;
        }
        std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason_phrase(r.status) + "\r\n";
        for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
        const std::size_t length = r.kind == Kind::complete ? r.body.size() : r.generated_size;
        if (r.kind == Kind::complete || r.declare_length) out += "Content-Length: " + std::to_string(length) + "\r\n";
        out += "Connection: close\r\n\r\n";
        if (!send_all(fd, out, until)) return;

        switch (r.kind) {
            case Kind::complete:
                send_all(fd, r.body, until);
                break;
            case Kind::slow_body:
                for (std::size_t i = 0; i < r.generated_size; ++i) {
                    if (!send_all(fd, "x", until)) return;
                    // Sleeps by waiting on the stop pipe, so a stopping server is not held up.
                    wait_for(stop_pipe[0], POLLIN, Clock::now() + r.delay);
                }
                break;
            case Kind::endless_body:
            case Kind::generated:
            case Kind::cut_body:
            case Kind::stalled_body: {
                const std::string chunk(64 * 1024, 'x');
                const bool partial = r.kind == Kind::cut_body || r.kind == Kind::stalled_body;
                std::size_t left = partial ? std::min(r.sent_size, r.generated_size) : r.generated_size;
                while (r.kind == Kind::endless_body || left > 0) {
                    const std::size_t n = r.kind == Kind::endless_body ? chunk.size() : std::min(left, chunk.size());
                    if (!send_all(fd, std::string_view(chunk).substr(0, n), until)) return;
                    left -= std::min(left, n);
                }
                // Silent, holding the connection, until the client gives up or the server stops.
                if (r.kind == Kind::stalled_body) respond(fd, HttpResponse::never_answer(), until);
                break;
            }
            case Kind::never_answer:
                break;
        }
    }

    void accept_loop() {
        const auto forever = Clock::time_point::max();
        while (wait_for(listen_fd, POLLIN, forever)) {
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard lock(mutex);
            connections.emplace_back([this, fd] {
                serve(fd);
                ::shutdown(fd, SHUT_RDWR);
                ::close(fd);
            });
        }
    }
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    if (::pipe2(s.stop_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    s.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.listen_fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // ephemeral
    socklen_t size = sizeof address;
    if (::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s.listen_fd, 64) != 0 || ::getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    s.port = ntohs(address.sin_port);
    s.acceptor = std::thread([&s] { s.accept_loop(); });
}

HttpServer::~HttpServer() {
    Impl& s = *impl_;
    s.stopping = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(s.stop_pipe[1], &byte, 1);
    s.acceptor.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(s.mutex);
        connections.swap(s.connections);
    }
    for (auto& t : connections) t.join();
    ::close(s.listen_fd);
    ::close(s.stop_pipe[0]);
    ::close(s.stop_pipe[1]);
}

std::uint16_t HttpServer::port() const { return impl_->port; }

std::string HttpServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(impl_->port) + std::string(path);
}

void HttpServer::route(std::string path, Handler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->routes[std::move(path)] = std::move(handler);
}

void HttpServer::route(std::string path, HttpResponse response) {
    route(std::move(path), [response](const HttpRequest&) { return response; });
}

std::vector<HttpRequest> HttpServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

std::size_t HttpServer::request_count(std::string_view path) const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<std::size_t>(
        std::count_if(impl_->log.begin(), impl_->log.end(), [&](const HttpRequest& r) { return r.path == path; }));
}

RefusingPort::RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("cannot bind a port on 127.0.0.1");
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace kestrova::testing
