// A bundle that puts itself in the desktop's menu: at a GUI start of a copy the user downloaded,
// when its Info.plist asks for it (kestrova/desktop_integration.h), its menu entries, icon and file
// types are written as the packaging tool's desktop-entry command writes them, or offered once. A
// system whose desktop shows a bundle as it is, without menu entries, does nothing here.
#pragma once

namespace kestrova::platform {

// Decides and does it without delaying the launch: returns at once, the work runs on a thread of
// its own, and a failure is one line on standard error. A console start does nothing. Main
// thread, after prepare_for_threads.
void start_desktop_integration(bool console);

}  // namespace kestrova::platform
