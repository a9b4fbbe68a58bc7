#include "DebugLog.h"

Q_LOGGING_CATEGORY(QuarnelDebug, "quarnel.debug")

void DebugLine(const QString& line) {
    qCDebug(QuarnelDebug).noquote() << line;
}
