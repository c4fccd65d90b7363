// Finding and loading the update framework: the launcher's half of the updater API table.
#include "launcher/updates/updater_api_loader.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "kestrova/bundle_layout.h"
#include "launcher/updates/host_services.h"
#include "platform/bundle_info.h"
#include "platform/shared_library.h"

namespace kestrova::updates {

using platform::SharedLibrary;

namespace detail {

const KestrovaUpdaterApi* load_update_framework_from(const std::string& path) {
    // Absent is the ordinary case (a bundle without the framework) and is not logged.
    if (::access(path.c_str(), F_OK) != 0) return nullptr;
    // A path with a slash is opened as it is; the system's loader never searches its library path for it.
    const std::string exact = path.find('/') == std::string::npos ? "./" + path : path;
    std::string why;
    const SharedLibrary library = SharedLibrary::open(exact.c_str(), &why);
    if (!library.loaded()) {
        framework_log().write("The update framework could not be loaded: %{public}@", {why.empty() ? path : why});
        return nullptr;
    }
    // The library stays loaded whatever happens next: its code may already be referenced.
    KestrovaUpdaterLoadFn load = nullptr;
    if (!library.resolve(KESTROVA_UPDATER_ENTRY_POINT, load)) {
        framework_log().write("The update framework has no entry point %{public}@", {KESTROVA_UPDATER_ENTRY_POINT});
        return nullptr;
    }
    const KestrovaUpdaterApi* api = load(&host_services());
    if (api == nullptr) {
        framework_log().write("The update framework refused the launcher's services");
        return nullptr;
    }
    if (api->abi_version != KESTROVA_UPDATER_ABI_VERSION) {
        framework_log().write("The update framework speaks another interface version");
        return nullptr;
    }
    return api;
}

}  // namespace detail

const KestrovaUpdaterApi* load_update_framework() {
    static const KestrovaUpdaterApi* api = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        api = detail::load_update_framework_from(
            (std::filesystem::path(platform::bundle_contents_directory()) / kestrova::bundle_layout::frameworks /
             platform::update_framework_file_name())
                .string());
    });
    return api;
}

}  // namespace kestrova::updates
