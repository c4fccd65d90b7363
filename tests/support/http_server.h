// A small HTTP/1.1 server on 127.0.0.1 for tests: routes by path, canned misbehaviours (never
// answering, a slow or endless body, a big generated body), and a log of the requests it got. Each
// connection is answered once and closed. Every connection ends when the server is destroyed, and
// none is kept longer than a minute, so a test that forgets one cannot hang.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova::testing {

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: a path and query, or an absolute URL when sent to a proxy
    std::string path;    // the target without its query
    std::vector<std::pair<std::string, std::string>> headers;

    // The first header called `name` (any case).
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpResponse {
    enum class Kind {
        complete,      // status, headers and body at once
        never_answer,  // read the request, send nothing, hold the connection
        slow_body,     // the body one byte per `delay`
        endless_body,  // bytes until the client gives up
        generated,     // `generated_size` bytes of 'x', produced as they are sent
        cut_body,      // declares `generated_size` bytes, sends `sent_size`, then closes
        stalled_body,  // declares `generated_size` bytes, sends `sent_size`, then falls silent
    };

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    Kind kind = Kind::complete;
    std::chrono::milliseconds delay{0};
    std::size_t generated_size = 0;
    std::size_t sent_size = 0;   // cut and stalled bodies
    bool declare_length = true;  // send Content-Length (slow and generated bodies)

    static HttpResponse text(int status, std::string body, std::string content_type = "text/plain");
    // A redirect to `location`, which may be relative ("/again") or any scheme ("file:///etc/passwd").
    static HttpResponse redirect(std::string location, int status = 302);
    static HttpResponse never_answer();
    static HttpResponse slow_body(std::size_t size, std::chrono::milliseconds per_byte);
    static HttpResponse endless_body();
    static HttpResponse big_body(std::size_t size, bool declare_length = true);
    static HttpResponse cut_body(std::size_t declared, std::size_t sent);
    static HttpResponse stalled_body(std::size_t declared, std::size_t sent);
};

class HttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Listens on an ephemeral port of 127.0.0.1 and serves until destroyed. Unknown paths are 404.
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::uint16_t port() const;
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(std::string_view path) const;

    // Routes by exact path (query ignored). Safe while serving.
    void route(std::string path, Handler handler);
    void route(std::string path, HttpResponse response);

    // The requests received so far, in order of arrival.
    std::vector<HttpRequest> requests() const;
    std::size_t request_count(std::string_view path) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A port on 127.0.0.1 that refuses connections for as long as this object lives: bound, never
// listened on, so nobody else can take it meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kestrova::testing
