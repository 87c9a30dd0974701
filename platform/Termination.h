#pragma once

namespace Termination {

// Ends the program's event loop at once, whatever windows are open. QCoreApplication::quit()
// would first ask every window to close, and one window that minimises instead of closing
// (the onboarding panel) would cancel the whole quit.
void terminateApplication();

} // namespace Termination
