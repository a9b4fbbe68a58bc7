// The program's diagnostic lines would bury the fuzzer's own output; warnings and errors still
// reach standard error.
#pragma once

#include <QtGlobal>

namespace fuzzwork {

inline QtMessageHandler& PreviousHandler() {
    static QtMessageHandler previous = nullptr;
    return previous;
}

inline void QuietDebugOutput() {
    PreviousHandler() = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (type == QtDebugMsg || type == QtInfoMsg) {
                return;
            }
            if (PreviousHandler() != nullptr) {
                PreviousHandler()(type, context, text);
            }
        });
}

}  // namespace fuzzwork
