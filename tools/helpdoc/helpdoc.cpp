// Renders a Markdown user guide into a PDF of A4 pages.
// usage: helpdoc GUIDE.md OUTPUT.pdf
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPdfWriter>
#include <QTextDocument>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: helpdoc GUIDE.md OUTPUT.pdf\n");
        return 2;
    }
    QFile guide(QString::fromLocal8Bit(argv[1]));
    if (!guide.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "helpdoc: cannot read %s\n", argv[1]);
        return 1;
    }
    QTextDocument document;
    // Pictures named in the guide are found beside it.
    document.setBaseUrl(QUrl::fromLocalFile(QFileInfo(guide).absolutePath() + '/'));
    document.setMarkdown(QString::fromUtf8(guide.readAll()));
    QFont font(QStringLiteral("Verdana"));
    font.setPointSize(10);
    document.setDefaultFont(font);

    const QString output = QString::fromLocal8Bit(argv[2]);
    const QString partial = output + QStringLiteral(".part");
    {
        QPdfWriter writer(partial);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Millimeter);
        writer.setTitle(QStringLiteral("Tarnwell Connect User"));
        writer.setCreator(QStringLiteral("Quarnel"));
        document.print(&writer);
    }
    QFile::remove(output);
    if (!QFile::rename(partial, output)) {
        std::fprintf(stderr, "helpdoc: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
