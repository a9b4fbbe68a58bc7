// The translator: every visible text of the windows can be replaced by a translation from the
// language database language.sqlite in the data folder. A text is found under a key built from
// the window's name, the control's name and the kind of text ("MainForm.LabelGetData.caption",
// "ExportForm.ResolutionSelectGroupBox.button03", "MainForm.TreeViewMenu.node0F"). A key the
// table lacks is added with the text then shown as its default, so one run in each language
// lists every translatable text of the program.
//
// The main window creates and owns the translator; the rest of the program reaches it through
// the program-wide reference Translator. Main thread only.
#pragma once

#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "Translation.h"

class QTranslator;
class QWidget;
class TMainView;
class TMsgForm;

// The design's component kinds that one Qt widget class stands for more than one of. A widget
// gets its kind once, where it is created; the translator reads it.
enum class TDesignKind {
    DataBound,     // a check box bound to a database field: its caption stays as it is
    RadioGroup,    // a group box whose radio buttons are the group's numbered items
    Navigator,     // a bar of navigator buttons with numbered tool tips
    DropDownList,  // a combo box whose items are design texts
};
void SetDesignKind(QWidget* widget, TDesignKind kind);

// The key of item index of a list: two upper-case hexadecimal digits, more beyond 255.
QString ItemNumber(int index);

class TTranslator {
public:
    // Opens DataFolder() + "language.sqlite".
    explicit TTranslator(TMainView& view);
    // The same for the language database at path.
    TTranslator(TMainView& view, const QString& path);
    ~TTranslator();
    TTranslator(const TTranslator&) = delete;
    TTranslator& operator=(const TTranslator&) = delete;

    QString DatabasePath;
    uint8_t Language = Language_English;
    bool DatabaseOpen = false;

    // A missing file is reported, and the program asked to end; any other failure is reported
    // and leaves the design texts in place.
    void OpenDatabase();
    void CloseDatabase();

    // Nothing changes on screen until a window is translated. A number without a column is
    // English. Qt's own texts (the file dialog's columns, the buttons of a question) follow from
    // Qt's translations where they are installed.
    void SelectLanguage(uint8_t language);

    // The text of the current language for key; defaultText when there is none. A key met for
    // the first time is added with defaultText as its default.
    QString Translate(const QString& key, const QString& defaultText);

    // Translates a window and every control on it; windows of their own are left to their own
    // turn.
    void TranslateForm(QWidget* window);
    void TranslateForm(TMsgForm& texts);

    // The windows the program owns, in the order it creates them; TranslateAllForms walks them.
    void AddForm(QWidget* window);
    void AddForm(TMsgForm& texts);
    void TranslateAllForms();

private:
    struct TForm {
        QPointer<QWidget> Window;
        TMsgForm* Texts = nullptr;
    };

    void TranslateControls(const QString& form, QWidget* parent);
    void TranslateControl(const QString& form, QWidget* control);

    TMainView& View;
    QString Connection;
    std::unique_ptr<QTranslator> QtTexts;
    std::vector<TForm> Forms;
    bool InsertFailed = false;
};

// The translator of the running program; null before the main window creates it and after it is
// gone.
extern TTranslator* Translator;

// What each window's creation handler does: translate the window when a translator exists.
void TranslateOnCreate(QWidget* window);
