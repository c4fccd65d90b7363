// The built libkestrova-updater.so as the launcher sees it: loaded with dlopen, handed a host table,
// and exporting nothing but its entry point.
#include "kestrova/info_plist_keys.h"
#include "kestrova/updater_abi.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// What the minimal host saw; the host's functions are plain C callbacks, so they record here.
struct HostRecord {
    std::deque<std::pair<void (*)(void*), void*>> queue;
    std::map<std::string, std::string> info;
    std::vector<std::string> alerts;
    std::vector<std::string> logs;
    int stops = 0;
    int loads = 0;
};
HostRecord record;
// Controllers live as long as the process, as in the launcher, which keeps them reachable (in
// storage that no destructor clears before the leak check at exit).
void* controllers[8];
std::size_t controller_count = 0;
void* keep(void* controller) {
    controllers[controller_count++ % std::size(controllers)] = controller;
    return controller;
}

KestrovaHostServices minimal_host() {
    KestrovaHostServices host{};
    host.abi_version = KESTROVA_UPDATER_ABI_VERSION;
    host.size = sizeof(KestrovaHostServices);
    host.dispatch_async_main = [](void (*block)(void*), void* context) { record.queue.emplace_back(block, context); };
    host.add_main_timer = [](double, void (*)(void*), void*) -> void* { return nullptr; };
    host.invalidate_timer = [](void*) {};
    host.absolute_time_now = [] { return 700'000'000.0; };
    host.application_stop = [] { ++record.stops; };
    host.run_modal_alert = [](const char* message, const char* informative) {
        record.alerts.push_back(std::string(message) + " | " + informative);
    };
    host.load_url = [](const char*, double, size_t, void (*)(void*, const KestrovaUrlResult*), void*) {
        ++record.loads;
    };
    host.info_string = [](const char* key, char* buffer, size_t size) -> long {
        const auto found = record.info.find(key);
        if (found == record.info.end()) {
            return -1;
        }
        std::snprintf(buffer, size, "%s", found->second.c_str());
        return static_cast<long>(found->second.size());
    };
    host.environment_value = [](const char*) -> const char* { return nullptr; };
    host.log = [](const char* message) { record.logs.emplace_back(message); };
    host.download_to_file = [](const char*, const char*, double, uint64_t, void (*)(void*, uint64_t, int64_t),
                               void (*)(void*, const KestrovaUrlResult*), void*) -> uint64_t { return 0; };
    host.cancel_transfer = [](uint64_t) {};
    host.bundle_path = [](char*, size_t) -> long { return -1; };
    host.read_property_list = [](const char*, void (*)(void*, const char*, const char*), void*) { return -1; };
    host.show_progress = [](const char*, const char*, void (*)(void*), void*) -> uint64_t { return 0; };
    host.update_progress = [](uint64_t, double, const char*) {};
    host.close_progress = [](uint64_t) {};
    host.lock_installation_exclusively = [] { return 0; };
    host.installation_at = [](const char*) { return -1; };
    return host;
}

void run_queue() {
    while (!record.queue.empty()) {
        const auto [block, context] = record.queue.front();
        record.queue.pop_front();
        block(context);
    }
}

class UpdaterLibraryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        handle = dlopen(KESTROVA_TEST_UPDATER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        load = reinterpret_cast<KestrovaUpdaterLoadFn>(dlsym(handle, KESTROVA_UPDATER_ENTRY_POINT));
    }
    void SetUp() override {
        ASSERT_NE(load, nullptr);
        record = HostRecord{};
    }

    static inline void* handle = nullptr;
    static inline KestrovaUpdaterLoadFn load = nullptr;
};

TEST_F(UpdaterLibraryTest, RefusesAHostItCannotWorkWith) {
    EXPECT_EQ(load(nullptr), nullptr);
    auto host = minimal_host();
    host.abi_version = KESTROVA_UPDATER_ABI_VERSION + 1;
    EXPECT_EQ(load(&host), nullptr);
    host = minimal_host();
    host.size = sizeof(KestrovaHostServices) - sizeof(void*);
    EXPECT_EQ(load(&host), nullptr);
    host = minimal_host();
    host.load_url = nullptr;
    EXPECT_EQ(load(&host), nullptr);
    host = minimal_host();
    host.download_to_file = nullptr;  // installing updates needs every service of the table
    EXPECT_EQ(load(&host), nullptr);
}

TEST_F(UpdaterLibraryTest, AnswersWithTheApiTable) {
    static const auto host = minimal_host();
    const KestrovaUpdaterApi* api = load(&host);
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(api->abi_version, KESTROVA_UPDATER_ABI_VERSION);
    ASSERT_NE(api->compare_versions, nullptr);
    EXPECT_EQ(api->compare_versions("1.0", "1.0.1"), -1);
    EXPECT_EQ(api->compare_versions("1.0", "1.0.0"), 0);
    ASSERT_NE(api->controller_last_check_offered_update, nullptr);
    EXPECT_EQ(api->controller_last_check_offered_update(nullptr), 0);
    EXPECT_EQ(api->compare_versions("2.0", "1.0b1"), 1);
    EXPECT_EQ(api->compare_versions(nullptr, "1"), -1);
    // The install calls are all there and refuse a null controller; nothing waits at exit.
    ASSERT_NE(api->controller_hold_launch, nullptr);
    ASSERT_NE(api->controller_installed_launcher, nullptr);
    ASSERT_NE(api->install_pending_update, nullptr);
    ASSERT_NE(api->install_left_update, nullptr);
    api->controller_hold_launch(nullptr);
    char buffer[16] = "unchanged";
    EXPECT_EQ(api->controller_installed_launcher(nullptr, buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_EQ(api->install_pending_update(), 0);
}

TEST_F(UpdaterLibraryTest, ControllerWithoutBundleVersionStaysIdleButSaysWhyOnACheck) {
    static const auto host = minimal_host();
    const KestrovaUpdaterApi* api = load(&host);
    ASSERT_NE(api, nullptr);
    const KestrovaUpdaterDelegate delegate{nullptr, nullptr, nullptr};
    void* controller = keep(api->controller_create(&delegate));
    ASSERT_NE(controller, nullptr);
    run_queue();
    api->controller_check_for_updates(controller);
    run_queue();
    EXPECT_EQ(record.stops, 1);
    ASSERT_EQ(record.alerts.size(), 1u);
    EXPECT_NE(record.alerts[0].find("no valid CFBundleVersion"), std::string::npos) << record.alerts[0];
    EXPECT_EQ(record.loads, 0);
    EXPECT_FALSE(record.logs.empty());
    // A held check that installed nothing names no launcher.
    api->controller_hold_launch(controller);
    char buffer[64];
    EXPECT_EQ(api->controller_installed_launcher(controller, buffer, sizeof buffer), -1);
}

TEST_F(UpdaterLibraryTest, UserCheckWithoutAFeedShowsAnErrorThenStops) {
    static const auto host = minimal_host();
    const KestrovaUpdaterApi* api = load(&host);
    ASSERT_NE(api, nullptr);
    record.info = {{kestrova::info_keys::bundle_version, "1.0"}, {kestrova::info_keys::enable_automatic_checks, "YES"}};
    void* controller = keep(api->controller_create(nullptr));
    ASSERT_NE(controller, nullptr);
    api->controller_check_for_updates(controller);
    run_queue();
    ASSERT_EQ(record.alerts.size(), 1u);
    EXPECT_NE(record.alerts[0].find("no update feed"), std::string::npos) << record.alerts[0];
    EXPECT_EQ(record.stops, 1);
    EXPECT_EQ(record.loads, 0);
    // A null controller is refused but still ends the hold path.
    api->controller_check_for_updates(nullptr);
    EXPECT_EQ(record.stops, 2);
}

TEST_F(UpdaterLibraryTest, ExportsOnlyTheEntryPoint) {
    const std::string command = std::string(KESTROVA_TEST_NM) + " -D --defined-only " + KESTROVA_TEST_UPDATER_LIBRARY;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    std::vector<std::string> symbols;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            symbols.push_back(line.substr(line.find_last_of(' ') + 1));
        }
    }
    EXPECT_EQ(symbols, std::vector<std::string>{"kestrova_updater_load"}) << output;
}

}  // namespace
