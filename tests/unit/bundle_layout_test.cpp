// Where a tree an install moved into a staging area came from.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "kestrova/bundle_layout.h"

namespace {

namespace fs = std::filesystem;
namespace layout = kestrova::bundle_layout;

TEST(BundleLayout, ATreeInAStagingAreaNamesTheInstallationItCameFrom) {
    const std::string long_name = std::string(240, 'L') + ".app";
    const struct {
        fs::path bundle;
        std::optional<fs::path> installation;
    } cases[] = {
        {"/opt/.Probe.app.kestrova-update-q7Xz0a/Probe.app", fs::path("/opt/Probe.app")},
        {"/.Probe.app.kestrova-update-q7Xz0a/Probe.app", fs::path("/Probe.app")},
        {fs::path("/opt") / (layout::staging_prefix(long_name) + "AbC123") / long_name, fs::path("/opt") / long_name},
        {"/opt/Probe.app", std::nullopt},
        {"/opt/.Probe.app.kestrova-update-q7Xz0/Probe.app", std::nullopt},   // not mkdtemp's six
        {"/opt/.Probe.app.kestrova-update-q7Xz0!/Probe.app", std::nullopt},  // nor its letters
        {"/opt/.Other.app.kestrova-update-q7Xz0a/Probe.app", std::nullopt},  // another bundle's area
        {"/opt/.Probe.app.kestrova-update-q7Xz0a/Other.app", std::nullopt},
        {"/Probe.app", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(layout::installation_of_staged(c.bundle), c.installation) << c.bundle;
    // The long form keeps within the file-name limit, and apart from another bundle's.
    EXPECT_LE(layout::staging_prefix(long_name).size() + layout::staging_suffix_length, 255u);
    EXPECT_NE(layout::staging_prefix(long_name), layout::staging_prefix(std::string(240, 'M') + ".app"));
}

}  // namespace
