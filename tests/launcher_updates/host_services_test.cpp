#include "launcher/updates/host_services.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "kestrova/info_plist_keys.h"
#include "launcher/updates/updater_api_loader.h"
#include "platform/application.h"
#include "platform/linux/environment.h"
#include "platform/main_queue.h"
#include "platform/run_loop.h"
#include "tests/platform/test_environment.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace kestrova::platform {
namespace {

namespace fs = std::filesystem;
using updates::load_update_framework;
using updates::detail::load_update_framework_from;
using namespace std::chrono_literals;

// --- Finding and loading the library ------------------------------------------------------------

TEST(LoadUpdateFramework, AnythingButAWorkingLibraryMeansNoFramework) {
    const kestrova::testing::TempDir temp;
    const fs::path& dir = temp.path();
    std::ofstream(dir / "not-elf.so") << "this is not a shared library\n";
    std::ofstream(dir / "empty.so");

    const struct {
        const char* what;
        std::string path;
    } cases[] = {
        {"absent", (dir / "libkestrova-updater.so").string()},
        {"a directory", dir.string()},
        {"not a library", (dir / "not-elf.so").string()},
        {"an empty file", (dir / "empty.so").string()},
        {"no entry point", KESTROVA_TEST_FAKE_UPDATER_NO_ENTRY},
        {"an entry point that refuses", KESTROVA_TEST_FAKE_UPDATER_REFUSES},
    };
    for (const auto& c : cases) EXPECT_EQ(load_update_framework_from(c.path), nullptr) << c.what;
}

TEST(LoadUpdateFramework, AWorkingLibraryGetsTheHostServicesAndAnswersWithItsTable) {
    const KestrovaUpdaterApi* api = load_update_framework_from(KESTROVA_TEST_FAKE_UPDATER_WORKS);
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(api->abi_version, KESTROVA_UPDATER_ABI_VERSION);
    ASSERT_NE(api->compare_versions, nullptr);
    EXPECT_EQ(api->compare_versions("1", "2"), -1);

    void* module = dlopen(KESTROVA_TEST_FAKE_UPDATER_WORKS, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto host = reinterpret_cast<const KestrovaHostServices* (*)()>(dlsym(module, "fake_updater_host"))();
    dlclose(module);  // drops only the reference this test took
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host, &updates::host_services());
    EXPECT_EQ(host->abi_version, KESTROVA_UPDATER_ABI_VERSION);
    EXPECT_EQ(host->size, sizeof(KestrovaHostServices));
    for (const void* service :
         {reinterpret_cast<const void*>(host->dispatch_async_main), reinterpret_cast<const void*>(host->add_main_timer),
          reinterpret_cast<const void*>(host->invalidate_timer), reinterpret_cast<const void*>(host->absolute_time_now),
          reinterpret_cast<const void*>(host->application_stop), reinterpret_cast<const void*>(host->run_modal_alert),
          reinterpret_cast<const void*>(host->load_url), reinterpret_cast<const void*>(host->info_string),
          reinterpret_cast<const void*>(host->environment_value), reinterpret_cast<const void*>(host->log),
          reinterpret_cast<const void*>(host->run_choice_alert), reinterpret_cast<const void*>(host->download_to_file),
          reinterpret_cast<const void*>(host->cancel_transfer), reinterpret_cast<const void*>(host->bundle_path),
          reinterpret_cast<const void*>(host->read_property_list), reinterpret_cast<const void*>(host->show_progress),
          reinterpret_cast<const void*>(host->update_progress), reinterpret_cast<const void*>(host->close_progress)})
        EXPECT_NE(service, nullptr);
}

// This test program sits in Test.app/Contents/MacOS, and the working fake in Contents/Frameworks
// under the stand-in's own name.
TEST(LoadUpdateFramework, TheMainBundleFrameworkIsLoadedOnce) {
    const KestrovaUpdaterApi* api = load_update_framework();
    ASSERT_NE(api, nullptr);

    void* module = dlopen(KESTROVA_TEST_FAKE_UPDATER_WORKS, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr) << "the library loaded is the one in Contents/Frameworks";
    auto load_calls = reinterpret_cast<int (*)()>(dlsym(module, "fake_updater_load_calls"));
    const int calls = load_calls();
    EXPECT_GE(calls, 1);
    EXPECT_EQ(load_update_framework(), api);
    EXPECT_EQ(load_calls(), calls) << "a second call does not load or hand over the services again";
    dlclose(module);
}

// --- The services, as the stand-in calls them -------------------------------------------------------

class HostServices : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(is_main_thread()); }

    // Serves the main run loop until `done` or a generous bound passes.
    static bool run_main_until(const std::function<bool()>& done) {
        auto keep_alive = Timer::create(1e20, 0, [](Timer*) {});
        RunLoop::main().add_timer(keep_alive);
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < until) RunLoop::main().run_in_default_mode(0.05, true);
        keep_alive->invalidate();
        return done();
    }

    const KestrovaHostServices& host = updates::host_services();
};

TEST_F(HostServices, BlocksDispatchedFromAnyThreadRunOnTheMainThreadInOrder) {
    struct Context {
        std::vector<int> order;
        std::atomic<bool> off_main{false};
    } context;
    std::thread([&] {
        host.dispatch_async_main(
            [](void* c) {
                auto& ctx = *static_cast<Context*>(c);
                ctx.off_main = ctx.off_main || !is_main_thread();
                ctx.order.push_back(1);
            },
            &context);
        host.dispatch_async_main(
            [](void* c) {
                auto& ctx = *static_cast<Context*>(c);
                ctx.off_main = ctx.off_main || !is_main_thread();
                ctx.order.push_back(2);
            },
            &context);
    }).join();
    ASSERT_TRUE(run_main_until([&] { return context.order.size() == 2; }));
    EXPECT_EQ(context.order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(context.off_main);
}

TEST_F(HostServices, TimersFireOnceOnTheMainLoopUnlessInvalidated) {
    int fired_a = 0, fired_b = 0;
    const double soon = host.absolute_time_now() + 0.05;
    void* a = host.add_main_timer(
        soon, [](void* c) { ++*static_cast<int*>(c); }, &fired_a);
    void* b = host.add_main_timer(
        soon, [](void* c) { ++*static_cast<int*>(c); }, &fired_b);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    host.invalidate_timer(b);

    // One-shot timers leave the mode once fired, so the loop then finishes by itself.
    const auto start = std::chrono::steady_clock::now();
    while (RunLoop::main().run_in_default_mode(20, false) != RunLoopResult::finished &&
           std::chrono::steady_clock::now() - start < 20s) {
    }
    EXPECT_EQ(fired_a, 1);
    EXPECT_EQ(fired_b, 0);

    // Spent and stale handles are harmless, as is null.
    host.invalidate_timer(a);
    host.invalidate_timer(b);
    host.invalidate_timer(nullptr);
}

TEST_F(HostServices, ATimerInvalidatedFromItsOwnCallbackIsFine) {
    struct Context {
        const KestrovaHostServices* host;
        void* self = nullptr;
        int fired = 0;
    } context{&host};
    context.self = host.add_main_timer(
        host.absolute_time_now(),
        [](void* c) {
            auto& ctx = *static_cast<Context*>(c);
            ++ctx.fired;
            ctx.host->invalidate_timer(ctx.self);
        },
        &context);
    EXPECT_TRUE(run_main_until([&] { return context.fired == 1; }));
}

TEST_F(HostServices, InfoStringCopiesCutsAndCounts) {
    char buffer[32];
    EXPECT_EQ(host.info_string(kestrova::info_keys::bundle_version, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "9.8.7");
    EXPECT_EQ(host.info_string(kestrova::info_keys::scheduled_check_interval, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "7200");

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(host.info_string(kestrova::info_keys::bundle_version, buffer, 3), 5) << "a cut value is still counted";
    EXPECT_STREQ(buffer, "9.");
    EXPECT_EQ(buffer[3], '#') << "nothing past the given size is written";

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(host.info_string(kestrova::info_keys::bundle_version, buffer, 0), 5);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(host.info_string(kestrova::info_keys::bundle_version, nullptr, 0), 5);

    EXPECT_EQ(host.info_string(kestrova::info_keys::feed_url, buffer, sizeof buffer), -1);
    EXPECT_EQ(host.info_string(nullptr, buffer, sizeof buffer), -1);
}

TEST_F(HostServices, EnvironmentValuesComeFromTheCopyAndStayValid) {
    linux_backend::capture_environment();
    unsetenv(testing::captured_probe_name);  // as the JVM thread may, any time
    const char* value = host.environment_value(testing::captured_probe_name);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, testing::captured_probe_value);
    EXPECT_EQ(host.environment_value(testing::captured_probe_name), value) << "the same storage every time";

    setenv("KESTROVA_PLATFORM_TEST_LATE", "set after the copy", 1);
    EXPECT_EQ(host.environment_value("KESTROVA_PLATFORM_TEST_LATE"), nullptr);
    EXPECT_EQ(host.environment_value(nullptr), nullptr);
}

TEST_F(HostServices, TransfersReportStatusBodyAndErrorsInTheCTable) {
    kestrova::testing::HttpServer server;
    server.route("/appcast.xml", kestrova::testing::HttpResponse::text(404, std::string("gone\0!", 6)));
    struct Outcome {
        int error_code = 0;
        std::string description;
        int status = 0;
        std::string body;
    };
    auto fetch = [&](const std::string& url) {
        auto done = std::make_shared<std::promise<Outcome>>();
        auto future = done->get_future();
        host.load_url(
            url.c_str(), 10, 1024,
            [](void* c, const KestrovaUrlResult* r) {
                Outcome o{r->error_code, r->error_description ? r->error_description : "", r->http_status,
                          std::string(r->body ? r->body : "", r->body_size)};
                static_cast<std::promise<Outcome>*>(c)->set_value(o);
            },
            done.get());
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
        return future.get();
    };

    const Outcome ok = fetch(server.url("/appcast.xml"));
    EXPECT_EQ(ok.error_code, 0);
    EXPECT_EQ(ok.status, 404);
    EXPECT_EQ(ok.body, std::string("gone\0!", 6));

    kestrova::testing::RefusingPort refusing;
    const Outcome refused = fetch("http://127.0.0.1:" + std::to_string(refusing.port()) + "/");
    EXPECT_EQ(refused.error_code, -1004);
    EXPECT_FALSE(refused.description.empty());
    EXPECT_EQ(refused.status, -1);
    EXPECT_EQ(refused.body, "");
}

TEST_F(HostServices, DownloadsIntoAFileReportProgressAndEndInTheCTable) {
    kestrova::testing::HttpServer server;
    server.route("/update.tar.xz", kestrova::testing::HttpResponse::text(200, "archive bytes"));
    const kestrova::testing::TempDir dir;
    struct Outcome {
        std::promise<void> done;
        std::uint64_t received = 0;
        std::int64_t expected = -2;
        int error_code = 0;
        int status = 0;
        bool completed = false;
    };
    auto start = [&](const fs::path& path, Outcome& outcome) {
        return host.download_to_file(
            server.url("/update.tar.xz").c_str(), path.c_str(), 10, 1000,
            [](void* c, std::uint64_t received, std::int64_t expected) {
                static_cast<Outcome*>(c)->received = received;
                static_cast<Outcome*>(c)->expected = expected;
            },
            [](void* c, const KestrovaUrlResult* r) {
                auto& o = *static_cast<Outcome*>(c);
                o.error_code = r->error_code;
                o.status = r->http_status;
                o.completed = true;
                o.done.set_value();
            },
            &outcome);
    };
    Outcome fetched;
    EXPECT_NE(start(dir.path() / "new", fetched), 0u);
    ASSERT_EQ(fetched.done.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_EQ(fetched.error_code, 0);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.received, 13u);
    EXPECT_EQ(fetched.expected, 13);
    std::ifstream in(dir.path() / "new");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "archive bytes");

    Outcome refused;
    EXPECT_EQ(start(dir.path() / "new", refused), 0u) << "the file exists now";
    EXPECT_TRUE(refused.completed) << "the completion has run by the time 0 is returned";
    EXPECT_EQ(refused.error_code, -3000);
    host.cancel_transfer(0);  // no such transfer: harmless
}

TEST_F(HostServices, PropertyListsAreReadAtAnyPathWithTheLaunchersReader) {
    const kestrova::testing::TempDir dir;
    std::ofstream(dir.path() / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>org.example.next</string>"
           "<key>CFBundleVersion</key><string>2.0</string><key>Count</key><integer>3</integer>"
           "<key>Nested</key><dict/></dict></plist>\n";
    std::ofstream(dir.path() / "garbage.plist") << "not a property list at all";
    std::ofstream(dir.path() / "array.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>";
    using Entries = std::map<std::string, std::string>;
    auto read = [&](const fs::path& path, Entries& entries) {
        return host.read_property_list(
            path.c_str(),
            [](void* c, const char* key, const char* value) { static_cast<Entries*>(c)->emplace(key, value); },
            &entries);
    };
    Entries entries;
    EXPECT_EQ(read(dir.path() / "Info.plist", entries), 0);
    EXPECT_EQ(entries, (Entries{{kestrova::info_keys::bundle_identifier, "org.example.next"},
                                {kestrova::info_keys::bundle_version, "2.0"},
                                {"Count", "3"}}));
    for (const char* name : {"garbage.plist", "array.plist", "missing.plist"}) {
        Entries none;
        EXPECT_EQ(read(dir.path() / name, none), -1) << name;
        EXPECT_TRUE(none.empty()) << name;
    }
    EXPECT_EQ(host.read_property_list(nullptr, nullptr, nullptr), -1);
}

TEST_F(HostServices, TheBundlePathIsTheAbsoluteAppDirectoryAroundTheExecutable) {
    // This program runs as Test.app/Contents/MacOS/kestrova_updater_loader_tests.
    char buffer[4096];
    const long length = host.bundle_path(buffer, sizeof buffer);
    ASSERT_GT(length, 0);
    const fs::path bundle(std::string(buffer, static_cast<std::size_t>(length)));
    EXPECT_TRUE(bundle.is_absolute()) << bundle;
    EXPECT_EQ(bundle.filename(), "Test.app");
    EXPECT_TRUE(fs::is_regular_file(bundle / "Contents" / "Info.plist")) << bundle;
    EXPECT_EQ(host.bundle_path(buffer, 3), length) << "a cut path is still counted";
    EXPECT_EQ(std::strlen(buffer), 2u);
}

TEST_F(HostServices, LogRecordsGoUnderTheUpdaterCategoryWithTheMessageAsWritten) {
    host.log("Checking for updates at %{public}@ 100%");
    std::ifstream in(testing::update_log_path());
    bool found = false;
    for (std::string line; std::getline(in, line);)
        found = found || line.ends_with(" updater: Checking for updates at %{public}@ 100%");
    EXPECT_TRUE(found);
    host.log(nullptr);
}

TEST_F(HostServices, ApplicationStopEndsTheSharedApplicationsRun) {
    host.application_stop();  // not running: nothing happens, and the next run is not cut short
    std::atomic<bool> served{false};
    host.dispatch_async_main(
        [](void* c) {
            static_cast<std::atomic<bool>*>(c)->store(true);
            updates::host_services().application_stop();
        },
        &served);
    Application::shared().run();
    EXPECT_TRUE(served);
    EXPECT_FALSE(Application::shared().is_running());
}

TEST_F(HostServices, AbsoluteTimeIsThePlatformsClock) {
    const double before = absolute_time_now();
    const double now = host.absolute_time_now();
    EXPECT_LE(before, now);
    EXPECT_LE(now, absolute_time_now());
    EXPECT_GT(now, 7e8);  // after 2023 in seconds since 2001
}

}  // namespace
}  // namespace kestrova::platform
