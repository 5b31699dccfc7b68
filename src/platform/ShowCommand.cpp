// SPDX-License-Identifier: MIT
#include "platform/ShowCommand.h"

namespace platform {

int StartupShowCommand(const QStringList& arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("-minimized") || arguments[i] == QLatin1String("--minimized"))
            return SW_SHOWMINIMIZED;
    }
    return SW_SHOWDEFAULT;
}

}  // namespace platform
