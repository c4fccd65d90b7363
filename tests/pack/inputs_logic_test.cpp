// The pure logic behind a bundle's inputs and its jlinked runtime: manifests, option checks, and
// reading what the JDK's tools print.
#include <gtest/gtest.h>

#include "tools/bundle_inputs.h"
#include "tools/jar_manifest.h"
#include "tools/jlink_runtime.h"
#include "tools/packaging.h"

namespace kestrova::pack {
namespace {

using Strings = std::vector<std::string>;

TEST(Manifest, MainSectionWithContinuationsAndAnyLineEnd) {
    const struct {
        const char* text;
        const char* name;
        std::optional<std::string> value;
    } cases[] = {
        {"Main-Class: a.B\r\nClass-Path: x.jar\r\n y.jar\r\n", "Class-Path", "x.jary.jar"},
        {"Main-Class: a.B\nClass-Path: x.jar \n y.jar\n", "class-path", "x.jar y.jar"},  // names ignore case
        {"Main-Class: a.B\rAdd-Opens: m/p\r", "Add-Opens", "m/p"},
        {"Manifest-Version: 1.0\n\nName: a/\nMain-Class: not.Main\n", "Main-Class", std::nullopt},  // per-entry section
        {"Main-Class: a.B", "Main-Class", "a.B"},                                                   // no final line end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(manifest_value(parse_manifest(c.text), c.name), c.value);
    }
}

TEST(Manifest, LaunchOptionsAsJavaJarGrantsThem) {
    const auto launch = manifest_launch(parse_manifest("Main-Class: a.Main \n"
                                                       "Add-Opens: java.base/java.lang java.desktop/sun.awt\n"
                                                       "Add-Exports: java.base/sun.nio.ch\n"
                                                       "Enable-Native-Access: ALL-UNNAMED\n"
                                                       "Class-Path: lib/a.jar my%20dir/ /usr/share/java/x.jar\n"
                                                       "  ./b.jar file:///opt/y%20z.jar lib/../c.jar\n"),
                                        "app.jar");
    EXPECT_EQ(launch.main_class, "a.Main");
    EXPECT_EQ(launch.jvm_options,
              (Strings{"--add-opens=java.base/java.lang=ALL-UNNAMED", "--add-opens=java.desktop/sun.awt=ALL-UNNAMED",
                       "--add-exports=java.base/sun.nio.ch=ALL-UNNAMED", "--enable-native-access=ALL-UNNAMED"}));
    EXPECT_EQ(launch.modules, (Strings{"java.base", "java.desktop"}));
    EXPECT_EQ(launch.class_path, (Strings{"lib/a.jar", "my dir", "b.jar", "c.jar"}));
    EXPECT_EQ(launch.absolute_class_path, (Strings{"/usr/share/java/x.jar", "/opt/y z.jar"}));
}

TEST(Manifest, EntriesABundleCannotCarryAreRefused) {
    for (const auto& [manifest, contains] : std::vector<std::pair<std::string, std::string>>{
             {"Class-Path: http://example.com/x.jar", "a URL the bundle cannot carry"},
             {"Class-Path: file:x.jar", "a URL the bundle cannot carry"},
             {"Class-Path: ../x.jar", "outside the JAR's directory"},
             {"Class-Path: a/../../x.jar", "outside the JAR's directory"},
             {"Class-Path: x%2", "broken %-escape"},
             {"Add-Opens: java.base", "not MODULE/PACKAGE"},
             {"Add-Exports: java.base/a/b", "not MODULE/PACKAGE"},
             {"Enable-Native-Access: java.base", "only ALL-UNNAMED"},
         }) {
        SCOPED_TRACE(manifest);
        try {
            manifest_launch(parse_manifest(manifest), "app.jar");
            ADD_FAILURE() << "accepted";
        } catch (const PackError& e) {
            EXPECT_NE(std::string(e.what()).find(contains), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("\"app.jar\""), std::string::npos) << e.what();
        }
    }
}

TEST(TwoWordOptions, RefusedWithTheJoinedForm) {
    const struct {
        Strings options;
        std::optional<std::string> contains;
    } cases[] = {
        {{"--add-exports", "java.base/sun.nio.ch=ALL-UNNAMED"},
         "--jvm-option=--add-exports=java.base/sun.nio.ch=ALL-UNNAMED"},
        {{"-Xmx1g", "--add-opens java.base/java.lang=ALL-UNNAMED"},
         "--jvm-option=--add-opens=java.base/java.lang=ALL-UNNAMED"},
        {{"-p", "&&/mods"}, "--jvm-option=--module-path=&&/mods"},
        {{"--module-path", "&&/mods"}, "--jvm-option=--module-path=&&/mods"},
        {{"--add-modules", "java.sql"}, "--jvm-option=--add-modules=java.sql"},
        {{"--add-modules"}, "--jvm-option=--add-modules=VALUE"},
        {{"-cp", "x.jar"}, "add the JARs with --jar"},
        {{"-classpath"}, "add the JARs with --jar"},
        {{"--add-exports=java.base/sun.nio.ch=ALL-UNNAMED", "--add-modules=java.sql", "-Dp=--add-opens"}, std::nullopt},
        {{"-Dx=-p"}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.options));
        const auto refusal = two_word_option_refusal(c.options);
        ASSERT_EQ(refusal.has_value(), c.contains.has_value()) << refusal.value_or("");
        if (refusal) {
            EXPECT_NE(refusal->find(*c.contains), std::string::npos) << *refusal;
        }
    }
}

TEST(JlinkModules, NamedByJvmOptions) {
    EXPECT_EQ(modules_named_in_options(
                  Strings{"--add-modules=java.sql,ALL-MODULE-PATH,mine", "--add-opens=java.desktop/sun.awt=ALL-UNNAMED",
                          "--add-exports=jdk.unsupported/sun.misc=x", "--add-reads=java.sql=ALL-UNNAMED",
                          "-Dadd-modules=not.this", "--add-modules=java.sql"}),
              (Strings{"java.sql", "mine", "java.desktop", "jdk.unsupported"}));
}

// The JDK 8 provider's locale data is left out of a linked runtime unless the options ask for it.
TEST(JlinkModules, LegacyLocaleProvidersKeepTheirData) {
    const struct {
        Strings options;
        bool legacy;
    } cases[] = {
        {{}, false},
        {{"-Djava.locale.providers=CLDR"}, false},
        {{"-Djava.locale.providers=CLDR,COMPAT"}, true},
        {{"-Djava.locale.providers=JRE,SPI"}, true},
        {{"-Djava.locale.providers=COMPATIBLE"}, false},
        {{"-Dother=COMPAT", "-Xmx1g"}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(selects_legacy_locale_data(c.options), c.legacy) << testing::PrintToString(c.options);
}

// What the java launcher of JDK 17 prints for a dry run that fails, as captured from real runs.
TEST(JlinkCheck, FailedStartsAreExplainedInOneLine) {
    const auto module_of = [](std::string_view name) -> std::optional<std::string> {
        if (name == "java/sql/Connection") return "java.sql";
        if (name == "javax/swing/JFrame") return "java.desktop";
        return std::nullopt;
    };
    const struct {
        const char* output;
        const char* expected;
    } cases[] = {
        {"Error: Unable to initialize main class Main\nCaused by: java.lang.NoClassDefFoundError: java/sql/Connection\n",
         "the runtime made with --jlink lacks module java.sql, whose class java.sql.Connection the main class Main "
         "needs; add --add-modules java.sql"},
        {"Error: Could not find or load main class Main\nCaused by: java.lang.NoClassDefFoundError: javax/swing/JFrame\n",
         "the runtime made with --jlink lacks module java.desktop, whose class javax.swing.JFrame the main class Main "
         "needs; add --add-modules java.desktop"},
        {"Error: Could not find or load main class Main\nCaused by: java.lang.NoClassDefFoundError: org/lib/Base\n",
         "class org.lib.Base, which the main class Main needs, is in no JAR of the bundle and no module of the JDK; "
         "add its JAR with --jar"},
        {"Error occurred during initialization of boot layer\n"
         "java.lang.module.FindException: Module java.sql not found, required by needsql\n",
         "the runtime made with --jlink lacks module java.sql, which module needsql requires; add --add-modules java.sql"},
        {"Error occurred during initialization of boot layer\njava.lang.module.FindException: Module java.sql not found\n",
         "the runtime made with --jlink lacks module java.sql, which a JVM option names; add --add-modules java.sql"},
        {"Error: Could not find or load main class Main\nCaused by: java.lang.ClassNotFoundException: Main\n",
         "the main class Main is in none of the bundle's JARs; check --main-class and the JARs"},
        {"\nUnrecognized option: --bogus\nError: Could not create the Java Virtual Machine.\n",
         "the runtime made with --jlink cannot start the application: Unrecognized option: --bogus; check the JVM "
         "options and --add-modules"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        EXPECT_EQ(explain_failed_start(c.output, "Main", module_of), c.expected);
    }
}

TEST(JlinkCheck, ModuleOfAClassFromTheImageListing) {
    const std::string listing =
        "jimage: /jdk/lib/modules\n\nModule: java.base\n    java/lang/Object.class\n"
        "    java/sql/Fake.txt\n\nModule: java.sql\n    java/sql/Connection.class\n";
    EXPECT_EQ(module_in_listing(listing, "java/sql/Connection"), "java.sql");
    EXPECT_EQ(module_in_listing(listing, "java/lang/Object"), "java.base");
    EXPECT_EQ(module_in_listing(listing, "java/sql/Fake"), std::nullopt);
    EXPECT_EQ(module_in_listing(listing, "java/lang/Obj"), std::nullopt);
}

}  // namespace
}  // namespace kestrova::pack
