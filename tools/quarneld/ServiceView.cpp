#include "ServiceView.h"

void TServiceView::ShowError(const QString& text) {
    // The texts are made for a dialog, some with line breaks of their own.
    QString line = text;
    line.replace(QLatin1String("\n\r"), QLatin1String(" "));
    Console.Problem(line.simplified());
}

void TServiceView::DeselectDisconnect(TCANMessages* channel) {
    if (channel != nullptr && OnChannelEnded) {
        OnChannelEnded(channel);
    }
}
