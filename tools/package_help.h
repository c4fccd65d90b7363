// The help texts of the commands that make system packages (deb, rpm) and of release's --apt.
#pragma once

#include <string_view>

namespace kestrova::pack {

inline constexpr std::string_view help_package_options = R"help(
  --out DIR          where the package goes (default: the current directory)
  --maintainer "NAME <EMAIL>"  who answers for the package (required)
  --package NAME     the package's name (default: CFBundleName in lowercase, other bytes '-')
  --description TEXT the one-line summary (default: "NAME desktop application in Java")
  --homepage URL     the application's web site
  --category NAME    a menu category of the entries (repeatable), as for desktop-entry
                     (default: the bundle's own --category)
  --mime-type TYPE   a file type the entries open (repeatable), as for desktop-entry
                     (default: the bundle's own --mime-type and --mime-definition)
  --mime-definition FILE  shared-mime-info XML of types Debian does not know, installed in
                     /usr/share/mime/packages (the system's triggers update the database)
  --comment TEXT     the entries' tooltip
The package installs the bundle as /usr/lib/PACKAGE/NAME.app, owned by root, marked in its
Info.plist as the package manager's (its updater tells of new versions but never installs
them), one menu entry per GUI command in /usr/share/applications, the icon in
/usr/share/icons/hicolor, and a link in /usr/bin for each console command.
)help";

inline constexpr std::string_view help_deb =
    R"help(Usage: kestrova-pack deb BUNDLE.app --maintainer "NAME <EMAIL>" [--out DIR] [OPTIONS]

Makes DIR/PACKAGE_VERSION_ARCH.deb with dpkg-deb. VERSION is CFBundleVersion, with a
pre-release tag made to sort first (2.0b1 is 2.0~b1); a version dpkg cannot order as the
updater does is refused. Depends: a linked runtime's JDK package; the shared libraries of the
bundle's ELF files (dpkg-shlibdeps) and those its updater opens; --deb-depends adds more.
  --deb-depends DEP  one more dependency, e.g. "fonts-dejavu (>= 2.37)" (repeatable)
)help";

inline constexpr std::string_view help_rpm =
    R"help(Usage: kestrova-pack rpm BUNDLE.app --maintainer "NAME <EMAIL>" [--out DIR] [OPTIONS]

Makes DIR/PACKAGE-VERSION-1.ARCH.rpm with rpmbuild, with the same files as the .deb.
Requires: rpm's own generator over the bundle's ELF files, the JVM file of a linked runtime,
and --rpm-requires.
  --rpm-requires DEP one more dependency, e.g. "dejavu-sans-fonts" (repeatable)
)help";

inline constexpr std::string_view help_release_apt = R"help(
With --apt --apt-key KEY, the release also makes the .deb of the bundle (the deb command's
options apply) and keeps an apt repository in DIR/apt: every version's .deb, Packages,
Release, and InRelease and Release.gpg signed with the GnuPG key KEY (a key id, fingerprint or e-mail of
the gpg keyring), DIR/apt/PACKAGE.list and DIR/apt/PACKAGE-archive-keyring.gpg for users:
  sudo curl -o /usr/share/keyrings/PACKAGE-archive-keyring.gpg URL/apt/PACKAGE-archive-keyring.gpg
  sudo curl -o /etc/apt/sources.list.d/PACKAGE.list URL/apt/PACKAGE.list
  sudo apt update && sudo apt install PACKAGE
)help";

}  // namespace kestrova::pack
