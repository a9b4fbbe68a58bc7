// Where the program finds its databases.
#pragma once

#include <QString>

// The folder of both databases, always ending in "/": $QUARNEL_DATA_DIR when set, else the
// generic data location followed by "Vorlen/Tarnwell Connect/User/", else the program's folder.
QString DataFolder();
// The rule itself, for given inputs (empty texts stand for "not available").
QString DataFolderFrom(const QString& environment, const QString& genericData,
                       const QString& programFolder);
