#include "DataFolder.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace {

QString WithSlash(QString folder) {
    if (!folder.endsWith('/')) {
        folder += '/';
    }
    return folder;
}

}  // namespace

QString DataFolderFrom(const QString& environment, const QString& genericData,
                       const QString& programFolder) {
    if (!environment.isEmpty()) {
        return WithSlash(environment);
    }
    if (!genericData.isEmpty()) {
        return WithSlash(genericData) + QStringLiteral("Vorlen/Tarnwell Connect/User/");
    }
    return WithSlash(programFolder);
}

QString DataFolder() {
    return DataFolderFrom(qEnvironmentVariable("QUARNEL_DATA_DIR"),
                          QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                          QCoreApplication::applicationDirPath());
}
