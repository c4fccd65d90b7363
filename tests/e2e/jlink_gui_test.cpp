// End-to-end: the Swing demo on a runtime made for it with jlink opens its window under Xvfb.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/bundle.h"
#include "tests/support/xvfb.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(JlinkedSwingDemo, OpensItsWindowFromItsOwnRuntime) {
    std::string why_not;
    const auto x = XvfbDisplay::start(why_not);
    if (!x) GTEST_SKIP() << "No Xvfb: " << why_not;
    TempDir dir;
    BundleRecipe recipe;
    recipe.name = "Demo";
    recipe.main_class = "demo.Demo";
    recipe.jars = {Artefacts::demo_jar()};
    recipe.args = {"from the record"};
    recipe.jvm_options = {"-Xshare:on"};  // the archive made for this runtime must map
    recipe.extra = {"--jlink"};
    const fs::path executable = make_bundle(dir.path(), recipe);

    auto app = launch_in_background(executable, {"--window"}, x->on_display());
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (x->windows_named("Kestrova demo").empty()) {
        ASSERT_TRUE(app.running()) << "the demo exited (" << app.wait(0ms).exit_status << "); stderr:\n" << app.err();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no window; stderr:\n" << app.err();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(app.out().find("arg[0]: from the record\n"), std::string::npos) << app.out();
    EXPECT_NE(app.out().find("arg[1]: --window\n"), std::string::npos) << app.out();
    EXPECT_NE(app.out().find("java.version: 17"), std::string::npos) << app.out();
    EXPECT_EQ(app.err(), "");
}

}  // namespace
}  // namespace kestrova::testing
