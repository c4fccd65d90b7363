// What the pending update, the installation and the left-over installs share: the update log,
// the host's property lists, and the sentence for an update that waits for other copies.
#pragma once

#include <string>
#include <string_view>

#include "updater/install_steps.h"
#include "updater/updater_host.h"

namespace kestrova::updater::install_detail {

// Logs `message`; a failing log never fails an install.
void log_to(UpdaterHost& host, std::string_view message) noexcept;

// The host's property-list reader, for check_staged_bundle.
InfoReader reader_of(UpdaterHost& host);

// "NAME VERSION will be installed when every copy of NAME has quit".
std::string others_run_message(UpdaterHost& host, std::string_view version);

}  // namespace kestrova::updater::install_detail
