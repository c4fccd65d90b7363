// The updater's delegate: what the launcher does when the update framework reports progress.
#pragma once

#include "kestrova/updater_abi.h"

namespace kestrova {

class KestrovaUpdateListener {
public:
    KestrovaUpdateListener();

    void updater_did_finish_loading_appcast(const void* updater, const void* appcast);
    void updater_will_schedule_update_check_after_delay(const void* updater, double delay);

    // The delegate record handed to the update framework; it points back at this listener, which
    // must therefore live as long as the controller that uses it (the launcher never frees either).
    const KestrovaUpdaterDelegate* delegate() const { return &delegate_; }

private:
    KestrovaUpdaterDelegate delegate_;
};

}  // namespace kestrova
