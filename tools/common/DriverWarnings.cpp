#include "DriverWarnings.h"

#include <QString>
#include <QtGlobal>

namespace tools {
namespace {

QtMessageHandler Previous = nullptr;

void Filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("Unable to free statement"))) {
        return;
    }
    if (Previous != nullptr) {
        Previous(type, context, message);
    }
}

}  // namespace

void drop_lost_statement_warnings() {
    Previous = qInstallMessageHandler(Filter);
}

}  // namespace tools
