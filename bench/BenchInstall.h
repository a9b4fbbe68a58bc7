// The window benchmarks' data folder: made by the install step, as a user's is.
#pragma once

#include <QProcess>
#include <QString>
#include <cstdio>

#ifndef QUARNEL_INSTALL_SCRIPT
#error QUARNEL_INSTALL_SCRIPT must name data/install.sh
#endif

namespace bench {

// Runs the install step on folder; on failure prints what it said, prefixed with the bench's name.
inline bool install_data_folder(const char* bench, const QString& folder) {
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(QUARNEL_INSTALL_SCRIPT), {folder});
    if (!install.waitForFinished(30000) || install.exitCode() != 0) {
        std::fprintf(stderr, "%s: install step failed: %s\n", bench, install.readAll().constData());
        return false;
    }
    return true;
}

}  // namespace bench
