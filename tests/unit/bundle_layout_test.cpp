// Where a tree an install moved into a staging area came from.
#include <gtest/gtest.h>

#include "kestrova/bundle_layout.h"

namespace layout = kestrova::bundle_layout;

TEST(BundleLayout, ATreeInAStagingAreaNamesTheInstallationItCameFrom) {
    const std::string long_name = std::string(240, 'L') + ".app";  // past the short form's limit
    EXPECT_EQ(layout::installation_of_staged("/o/" + layout::staging_prefix(long_name) + "AbC123/" + long_name),
              "/o/" + long_name);
    EXPECT_EQ(layout::installation_of_staged("/.P.app.kestrova-update-q7Xz0a/P.app"), "/P.app");
    for (const char* not_staged :
         {"/o/P.app", "/o/.P.app.kestrova-update-q7Xz0/P.app", "/o/.Q.app.kestrova-update-q7Xz0a/P.app"})
        EXPECT_EQ(layout::installation_of_staged(not_staged), std::nullopt) << not_staged;
}
