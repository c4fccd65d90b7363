// The packaging tool's help texts: the one for the tool, then one per command.
#pragma once

#include <string_view>

namespace kestrova::pack {

inline constexpr std::string_view help_main = R"(Usage: kestrova-pack COMMAND [OPTIONS]

Packages a Java desktop application with the kestrova launcher.

Commands:
  burn      write a launch record into a copy of the launcher template
  inspect   print the launch record of a burned launcher
  bundle    assemble an application bundle (NAME.app) with a burned launcher
  generate-keys  make the Ed25519 key pair that signs updates
  sign-update    print the signature attributes of an update archive
  release   make a release site: archive, appcast.xml and metadata.properties
  delta     make a delta update between two release archives
  inspect-delta  say what a delta holds
  desktop-entry  put a bundle into the desktop's application menu (or take it out)
  deb       make a Debian package of a bundle
  rpm       make an RPM package of a bundle

Run "kestrova-pack COMMAND --help" for a command's options.
Exit status: 0 done, 1 the inputs cannot be packaged or a file operation failed,
2 the command line is wrong. Nothing is written when the status is not 0.
)";

inline constexpr std::string_view help_record_options = R"(
Launch record options:
  --main-class CLASS     the application's main class (required), e.g. com.example.Main
  --stack-size BYTES     stack size of the JVM thread, 139264 (136 KiB) to 4294967295, or 0 for
                         the system's default (default 2097152)
  --jvm-option OPTION    a JVM option, e.g. -Xmx512m (repeatable, kept in order)
  --arg ARG              an argument passed to main before the command line's (repeatable)
  --flags N              the whole flag byte, 0..255, decimal or 0x hex; or the switches:
  --main-thread          run the JVM on the main thread (bit 0)
  --console              console application, no GUI start-up (bit 1)
  --flag-bit2            set bit 2
  --aggressive-updates   aggressive update checks (bit 3)
  --flag-bit4            set bit 4
Values may also be written --option=VALUE. A record holds at most 255 JVM options and
255 arguments and is at most 16462 bytes: the reserved area is 16463, and at least one '_'
stays after the record to mark its end.
)";

inline constexpr std::string_view help_burn = R"(Usage: kestrova-pack burn IN OUT --main-class CLASS [OPTIONS]

Copies the launcher template IN to OUT with a launch record written at the start of its
reserved area (the one run of exactly 16463 '_' bytes followed by a NUL); everything else,
including the rest of the area, stays as it was. OUT keeps IN's permission bits. OUT is
written under a temporary name and renamed into place, so it is never half-written; an
OUT that exists must be a regular file (never a link, device or pipe).
An already burned launcher has no reserved area left: burn a fresh copy of the template.
)";

inline constexpr std::string_view help_inspect = R"(Usage: kestrova-pack inspect FILE

Prints the launch record of a burned launcher, one "key: value" item a line:
  flags: 0x14 (flag_bit2 flag_bit4)       the flag byte and the names of its set bits
  jvm_on_main_thread: false               then console, flag_bit2, aggressive_updates,
                                          flag_bit4 likewise (true or false)
  stack_size: 2097152
  main_class: com.example.Main
  jvm_option_count: 2
  jvm_option: -Xmx512m                    one line per option, in order
  app_arg_count: 1
  app_arg: --verbose                      one line per argument, in order
  record_size: 61                         bytes of the record in the area
  area_offset: 83104                      byte offset of the reserved area in FILE
Backslashes and control characters in values are written as \\, \n, \r, \t or \xHH.
)";

inline constexpr std::string_view help_bundle =
    R"(Usage: kestrova-pack bundle --name NAME --out DIR --main-class CLASS --jar JAR... [OPTIONS]
       kestrova-pack bundle --name NAME --out DIR --main-jar JAR [--input DIR] [OPTIONS]

Assembles DIR/NAME.app:
  Contents/MacOS/NAME             the launcher with the launch record burned in
  Contents/Info.plist             CFBundleExecutable, CFBundleIdentifier, CFBundleName,
                                  CFBundleVersion, SUFeedURL (only with --feed-url)
  Contents/Resources/             the JARs, kestrova-support.jar and the --resource files
                                  (the app directory)
  Contents/runtime/Contents/Home  a link to the Java runtime, a copy of it, or one made by jlink
  Contents/Frameworks/            libkestrova-updater.so (only with --with-updater)
The record's JVM options are -Djava.class.path=&&/kestrova-support.jar:&&/JAR:...,
-Dapp.dir=&&, the main JAR's manifest options, then the --jvm-option values; the launcher
replaces && with the app directory and ~~ with the user's home directory. A JVM started by
the launcher takes each option whole:
give --add-opens=X, never --add-opens X (refused).
The bundle is built in a temporary directory in DIR and renamed into place at the end.

Bundle options:
  --name NAME                the application's name (required)
  --out DIR                  where NAME.app goes (required; created if missing)
  --jar JAR                  an application JAR (repeatable, class path order)
  --runtime JAVA_HOME        the Java runtime (default: )" KESTROVA_PACK_JAVA_HOME R"()
  --copy-runtime             copy the runtime into the bundle instead of linking it
  --jlink                    make a runtime for the application with the JDK's jlink from the
                             --runtime JDK's jmods: the modules jdeps finds the JARs need, the
                             service providers applications meet at run time (jdk.crypto.ec,
                             jdk.charsets, jdk.zipfs, jdk.localedata with the JDK's own
                             languages), the modules of JDK classes the JARs name only as
                             text (Class.forName strings, META-INF/services types; said in one
                             line), stripped, strings shared (not zipped), with a class-data sharing
                             archive; checked by loading the main class with it
  --add-modules LIST         more modules for --jlink, comma-separated (repeatable);
                             jdk.localedata here keeps every locale
  --jlink-modules SET        detected: the modules found as above; default: the JDK's default
                             module set for class-path applications as well (what java itself
                             resolves). Without it, an application that runs code the JARs do
                             not hold (a script engine, classes it defines or loads from other
                             JARs) gets the default set, said in one line
  --locales LIST             the locales of jdk.localedata a --jlink runtime keeps, as jlink's
                             --include-locales takes them (en,fi,ru-RU,*-IN), or all (default:
                             en,de,es,fr,it,ja,ko,pt-BR,sv,zh-CN,zh-HK,zh-TW); other locales'
                             dates and numbers come out in English
  --keep-debug-info          keep the JDK classes' line numbers in a --jlink runtime (stack
                             traces then name them instead of "Unknown Source"; about 10% larger)
  --main-jar JAR             the main JAR: first on the class path; Main-Class, Add-Opens,
                             Add-Exports and Enable-Native-Access of its manifest applied as
                             java -jar applies them (a relative JAR is also looked for in
                             --input DIR)
  --input DIR                every JAR directly in DIR, in name order (links to nothing skipped
                             with a warning)
                             The Class-Path of every JAR is followed as java follows it: relative
                             entries are copied beside the JAR, what absolute ones name into
                             Contents/Resources and onto the class path after it (said in one
                             line). --module-path= entries outside the bundle are copied into
                             Contents/Resources/module-path and the option names the copies.
  --resource PATH            a file or directory copied into Contents/Resources (repeatable)
  --native-library PATH      a shared library carried in Contents/Resources/native, which
                             -Djava.library.path then names (repeatable)
  --add-launcher NAME=MAINCLASS[:console|:gui]
                             another command, Contents/MacOS/NAME, that runs MAINCLASS with the
                             bundle's runtime, JARs, JVM options, arguments and updates; console
                             or GUI as the bundle's own launcher unless given (repeatable)
  --bundle-version V         CFBundleVersion (default 1.0)
  --bundle-identifier ID     CFBundleIdentifier (default app.kestrova.NAME, lowercased,
                             other characters than letters and digits made '-')
  --feed-url URL             SUFeedURL, the update feed
  --public-ed-key BASE64     SUPublicEDKey, the key updates are verified with (the line
                             kestrova-pack generate-keys printed)
  --require-signed-feed      KestrovaRequireSignedFeed: the updater and the launch gate
                             trust only an appcast.xml and metadata.properties that
                             kestrova-pack release signed with that key, and never an
                             older or expired one (needs --public-ed-key)
  --update-channel NAME      KestrovaUpdateChannels: the updater also offers the items that
                             release --channel NAME published (repeatable; every copy follows
                             the default channel)
  --automatic-checks         SUEnableAutomaticChecks: the updater checks on a schedule
  --check-interval SECONDS   SUScheduledCheckInterval (the updater's default is 86400;
                             below 3600 counts as 3600, 0 turns scheduled checks off)
  --with-updater             add libkestrova-updater.so from next to the launcher template
  --icon PNG                 the application's icon, copied into Contents/Resources and named
                             in Info.plist (CFBundleIconFile); desktop-entry uses it
  --user-jvm-options         let the user add JVM options, one a line, in
                             $XDG_CONFIG_HOME/ID/jvm.options (~/.config by default; ID is
                             CFBundleIdentifier), after the bundle's own (KestrovaUserJVMOptions)
  --desktop-integration ask|yes|no
                             a GUI start of a copy the user downloaded and owns, with no menu
                             entry yet, writes its menu entries, icon and file types as
                             desktop-entry does (yes) or offers them once (ask); the answer is
                             kept in $XDG_STATE_HOME/kestrova-updater (default no;
                             KestrovaDesktopIntegration)
  --category C               a menu category of those entries (repeatable)
  --mime-type TYPE           a file type the application opens, for those entries (repeatable)
  --mime-definition FILE     the shared-mime-info definition of types the user's system may not
                             know, carried in Contents/Resources and installed with the entries
  --no-class-data            keep no class-data archive for faster starts (a GUI bundle keeps
                             one per user by default; KESTROVA_NO_CLASS_DATA=1 skips it once)
  --force                    replace an existing DIR/NAME.app
  --launcher PATH            the launcher template (default: lib/kestrova/kestrova-launcher
                             next to this tool's installation)
  --support-jar PATH         the support JAR (default: share/kestrova/kestrova-support.jar)
)";

inline constexpr std::string_view help_desktop_entry =
    R"(Usage: kestrova-pack desktop-entry BUNDLE.app [--dir DIR] [--category C]... [--mime-type TYPE]...
       [--mime-definition FILE] [--comment TEXT] [--keywords LIST] [--remove]

Writes a freedesktop desktop entry for the bundle, so that it appears in the desktop's
application menu, into DIR (default: $XDG_DATA_HOME/applications, or
~/.local/share/applications), named after the bundle's CFBundleIdentifier:
  Name            CFBundleName
  Exec, TryExec   the bundle's launcher by its absolute path (Exec with %U, or %F with
                  --mime-type)
  Icon            the bundle's CFBundleIconFile, or the theme's application-x-executable
  Terminal        true for a --console application
  Categories      the --category values, in order (default: the bundle's own --category)
  StartupWMClass  the WM_CLASS of the application's windows, so the dock groups them under
                  the entry: the main class with '.' made '-', as AWT derives it when the
                  main thread opens the first window (check with xprop WM_CLASS)
A bundle with --add-launcher commands gets one entry per GUI launcher (the bundle's own named
CFBundleName, the others by their NAME, in ID.NAME.desktop); a bundle without any GUI launcher
gets the entry of its own launcher. Other entries in DIR for the same bundle are removed. Move or delete the bundle and its
entry disappears from the menu (TryExec); --remove deletes it.

Options:
  --dir DIR          the applications directory (created if missing)
  --category C       a menu category, e.g. Utility, Development, Office (repeatable)
  --wm-class NAME    StartupWMClass, for an application that opens its first window from
                     another thread than its main thread
  --mime-type TYPE   a file type the application opens, e.g. text/x-groovy (repeatable): written
                     as MimeType, and Exec passes the files (%F) so "Open with" gives them as
                     arguments (default: the bundle's own --mime-type and --mime-definition)
  --mime-definition FILE  the shared-mime-info XML of the types this system does not know
                     (looked up in $XDG_DATA_HOME and $XDG_DATA_DIRS), installed as
                     DIR/../mime/packages/ID.xml, then update-mime-database DIR/../mime
  --comment TEXT     Comment, the tooltip of the menu item
  --keywords LIST    Keywords the menu's search finds it by, comma-separated (repeatable)
  --remove           remove the bundle's entries from DIR instead (the bundle may be gone)
)";

inline constexpr std::string_view help_generate_keys = R"(Usage: kestrova-pack generate-keys --key-file FILE

Makes an Ed25519 key pair for signing updates. The private key goes into FILE (PEM PKCS#8,
mode 0600); FILE must not exist, a key is never overwritten. The public key is printed on
standard output as base64 of its 32 bytes: pass it to kestrova-pack bundle --public-ed-key
(the Info.plist key SUPublicEDKey). Keep FILE secret and safe: without it no installed copy
can ever be updated again.
)";

inline constexpr std::string_view help_sign_update = R"(Usage: kestrova-pack sign-update ARCHIVE --key-file FILE

Prints the Ed25519 signature of ARCHIVE's bytes and its size as the attributes of an appcast
<enclosure>:  sparkle:edSignature="BASE64" length="BYTES"
)";

inline constexpr std::string_view help_release =
    R"(Usage: kestrova-pack release BUNDLE.app --key-file FILE --site DIR --download-url-prefix URL
       [--release-notes-url URL] [--release-notes FILE] [--next-key-file NEXT] [--deltas N]
       [--expires-in DAYS] [--channel NAME] [--phased-rollout-interval SECONDS]
       [--critical-update]
       kestrova-pack release --refresh --key-file FILE --site DIR [--next-key-file NEXT]
       [--expires-in DAYS]

Makes or updates a release site in DIR for the bundle's CFBundleVersion:
  DIR/NAME-VERSION.tar.gz   the bundle (NAME.app at the top), the same bytes for the same
                            bundle when SOURCE_DATE_EPOCH is set (every time stamp is it)
  DIR/appcast.xml           the update feed, the new item first, older items kept, an item
                            of the same version replaced
  DIR/metadata.properties   app.version and app.revision for the launcher's update gate
  DIR/NAME-VERSION-from-OLD.delta  a delta from each of the N newest earlier versions
                            whose archive DIR still holds (default 5, 0 for none), signed
                            with FILE and listed in the item's <sparkle:deltas>
The archive is signed with FILE; the enclosure's address is URL/NAME-VERSION.tar.gz.
To change keys, release once with --next-key-file NEXT: the bundle carries NEXT's public
key, the archive is signed with FILE (which installed copies trust); release later
versions with --key-file NEXT.
Refused, with nothing written: a bundle whose runtime is a link (build it with
--copy-runtime), a bundle without SUPublicEDKey or with one that is not FILE's public key
(NEXT's with --next-key-file), a version older than the newest in DIR/appcast.xml, and an
appcast that would grow past the 4 MiB the updater reads (remove old items from it).
Runs on the same DIR wait for each other. Serve DIR at URL to publish.
appcast.xml and metadata.properties end in a signature line (FILE's, and NEXT's too with
--next-key-file) with a serial that every run raises and the signing time; bundles made
with --require-signed-feed refuse files without it, or older than ones they have seen.
--expires-in DAYS (1 to 3650) makes the two files stale after DAYS: such bundles then
offer nothing until the site is signed again. --refresh signs the site's current files
again with a new serial and signing time, no new version; run it well within DAYS.
--release-notes FILE puts FILE's text (UTF-8, plain or simple HTML, up to 64 KiB) into the
item's <description>, which the update dialog shows as plain text; --release-notes-url URL
names a page of such text instead (sparkle:releaseNotesLink).
--channel NAME offers the item only to copies that follow NAME (bundle --update-channel, or
the user's channels file); metadata.properties keeps naming the default channel's newest.
--phased-rollout-interval SECONDS lets users in in seven groups, one more every SECONDS from
the item's pubDate; checks users ask for, and --critical-update items, do not wait.
)";

inline constexpr std::string_view help_delta = R"(Usage: kestrova-pack delta OLD.tar.gz NEW.tar.gz OUT

Writes to OUT the delta that turns the bundle of OLD.tar.gz into the one of NEW.tar.gz (two
archives of one NAME.app, as release writes them): each file of the new bundle is sent as
unchanged, moved (found elsewhere in the old bundle), patched (a zstd patch against the old
file of that path, or of the previous version of a renamed JAR) or new (compressed whole),
with the new tree's digest inside. Sign OUT with sign-update, as an archive. The same
archives give the same bytes.
)";

inline constexpr std::string_view help_inspect_delta = R"(Usage: kestrova-pack inspect-delta FILE

Prints what the delta FILE holds as "key: value" lines: its bundle, versions and tree digest,
and for files unchanged, moved, patched and new their count, bytes and bytes sent; then how
many paths it removes.
)";

}  // namespace kestrova::pack
