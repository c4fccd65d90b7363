#include "test_environment.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "tests/support/http_server.h"

namespace kestrova::testing {

const std::string& update_log_path() {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("kestrova-platform-tests-" + std::to_string(getpid()) + ".log"))
                                        .string();
    return path;
}

namespace {

// Never destroyed: tests fork children that end through exit(), and a child must not run this
// server's destructor, which would join a thread that exists only in the parent.
HttpServer& proxy() {
    static HttpServer* server = new HttpServer;
    return *server;
}

// Runs before main, so before the platform layer copies the environment; removes the log at exit.
struct SetUpEnvironment {
    SetUpEnvironment() {
        setenv("KESTROVA_UPDATE_LOG", update_log_path().c_str(), 1);
        setenv(captured_probe_name, captured_probe_value, 1);
        proxy().route("/", HttpResponse::text(200, proxied_body));
        proxy().route("/appcast.xml", HttpResponse::text(200, proxied_body));
        setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy().port())).c_str(), 1);
        setenv("no_proxy", "127.0.0.1,localhost,direct.invalid", 1);
    }
    ~SetUpEnvironment() { unlink(update_log_path().c_str()); }
} set_up_environment;

}  // namespace

std::uint16_t proxy_port() { return proxy().port(); }

}  // namespace kestrova::testing
