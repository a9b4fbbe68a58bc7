// The program's diagnostic channel: single lines for developers, never shown to the user.
#pragma once

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(QuarnelDebug)

void DebugLine(const QString& line);
