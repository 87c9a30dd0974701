#include "Termination.h"

#include <QCoreApplication>

namespace Termination {

void terminateApplication() {
    // exit() also ends every nested event loop, such as that of an open modal message box.
    QCoreApplication::exit(0);
}

} // namespace Termination
