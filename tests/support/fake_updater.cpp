// A stand-in for the update framework, built only for tests of the launcher's loader. One source,
// three libraries: FAKE_UPDATER_WORKS returns a table, FAKE_UPDATER_REFUSES returns null, and
// FAKE_UPDATER_NO_ENTRY_POINT exports no entry point at all. The loader's tests read back the host
// table it was handed through fake_updater_host().
#include "kestrova/updater_abi.h"

namespace {

const KestrovaHostServices* recorded_host = nullptr;
int load_calls = 0;

int compare(const char* a, const char* b) {
    // Enough ordering to tell that this table is the one the loader returned.
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b ? 0 : (static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1);
}

const KestrovaUpdaterApi api = {KESTROVA_UPDATER_ABI_VERSION,
                                nullptr,
                                nullptr,
                                &compare,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr,
                                nullptr};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const KestrovaHostServices* fake_updater_host() { return recorded_host; }
__attribute__((visibility("default"))) int fake_updater_load_calls() { return load_calls; }

#ifndef FAKE_UPDATER_NO_ENTRY_POINT
__attribute__((visibility("default"))) const KestrovaUpdaterApi* kestrova_updater_load(
    const KestrovaHostServices* host) {
    ++load_calls;
    recorded_host = host;
#if defined(FAKE_UPDATER_REFUSES)
    return nullptr;
#else
    if (host == nullptr || host->abi_version != KESTROVA_UPDATER_ABI_VERSION ||
        host->size < sizeof(KestrovaHostServices))
        return nullptr;
    return &api;
#endif
}
#endif

}  // extern "C"
