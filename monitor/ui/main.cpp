#include <QLoggingCategory>

#include "Quarnel.h"

int main(int argc, char** argv) {
    // The developers' diagnostic lines stay off unless QT_LOGGING_RULES asks for them
    // (QT_LOGGING_RULES=quarnel.debug.debug=true), which takes precedence over this rule.
    QLoggingCategory::setFilterRules(QStringLiteral("quarnel.debug.debug=false"));
    return QuarnelMain(argc, argv);
}
