// The table of message texts: every text the program composes at run time for the user takes its
// words from here, asked for by label name at the moment the text is built.
//
// The table stands in for a hidden window of labels named "MsgForm" (caption "Messages"): each
// entry is a label with its name and caption, and the translator changes the captions under the
// keys "MsgForm.<label>.caption" like those of any other window.
#pragma once

#include <QString>
#include <vector>

struct TMessageLabel {
    QString Name;
    QString Caption;
};

class TMsgForm {
public:
    TMsgForm();  // the English texts

    static QString Name() { return QStringLiteral("MsgForm"); }
    QString Caption() const { return WindowCaption; }
    void SetCaption(const QString& caption) { WindowCaption = caption; }

    // The current caption of a label; an unknown name gives an empty text and a debug line.
    QString Text(const QString& label) const;
    // False for an unknown label.
    bool SetText(const QString& label, const QString& caption);

    // The labels in the order the window creates them, for the translator.
    const std::vector<TMessageLabel>& Labels() const { return Entries; }
    static QString TranslationKey(const QString& label);

private:
    QString WindowCaption;
    std::vector<TMessageLabel> Entries;
};
