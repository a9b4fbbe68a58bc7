#include "dmLanguage.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QToolButton>
#include <QTranslator>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include "CheckList.h"
#include "DebugLog.h"
#include "MainView.h"
#include "MessageFrm.h"
#include "dmUser.h"

TTranslator* Translator = nullptr;

namespace {

const char* const Database_File = "language.sqlite";
const char* const Design_Kind_Property = "designKind";

bool HasKind(const QWidget* widget, TDesignKind kind) {
    const QVariant value = widget->property(Design_Kind_Property);
    return value.isValid() && value.toInt() == int(kind);
}

// The label attached to a control: the label that names it as its buddy. Labels stand beside
// their control, so only the control's siblings are searched.
QLabel* AttachedLabel(const QWidget* control) {
    if (control->parentWidget() == nullptr) {
        return nullptr;
    }
    for (QLabel* label :
         control->parentWidget()->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (label->buddy() == control) {
            return label;
        }
    }
    return nullptr;
}

// The kinds of key, each with the part that follows "Window.Control".
enum class TKeyKind {
    Hint,            // .hint
    Caption,         // .caption
    RadioItems,      // .buttonNN
    ListItems,       // .itemNN
    TreeNodes,       // .nodeNN, by absolute index
    NavigatorHints,  // .hintNN
    AttachedLabel,   // .caption of the control, written into its attached label
    DropDownItems,   // .itemNN
};

struct TKeyRule {
    const char* Control;  // the design's kind of control, and the Qt widget standing for it
    bool (*Fits)(const QWidget*);
    TKeyKind Key;
};

// Which control gets which key, in the order the rules are tried on one control; every rule
// that fits is applied.
//
// Never translated: data-bound check boxes (their captions name database fields), plain combo
// boxes and lookup lists (account names and box names go to the box or come from the database),
// colour pickers, the module check lists, date fields, text areas, and charts with their titles.
const TKeyRule Key_Rules[] = {
    {"any control with a tool tip",  //
     [](const QWidget* w) { return !w->toolTip().isEmpty(); }, TKeyKind::Hint},
    {"label, label button, panel with a caption, static text: QLabel",
     [](const QWidget* w) { return qobject_cast<const QLabel*>(w) != nullptr; }, TKeyKind::Caption},
    {"push button, bitmap button, flat speed button: QPushButton, QToolButton",
     [](const QWidget* w) {
         return qobject_cast<const QPushButton*>(w) != nullptr ||
                qobject_cast<const QToolButton*>(w) != nullptr;
     },
     TKeyKind::Caption},
    {"plain check box: QCheckBox that is not data-bound",
     [](const QWidget* w) {
         return qobject_cast<const QCheckBox*>(w) != nullptr && !HasKind(w, TDesignKind::DataBound);
     },
     TKeyKind::Caption},
    {"radio button: QRadioButton",
     [](const QWidget* w) { return qobject_cast<const QRadioButton*>(w) != nullptr; },
     TKeyKind::Caption},
    {"group box, and the caption of a radio group: QGroupBox",
     [](const QWidget* w) { return qobject_cast<const QGroupBox*>(w) != nullptr; },
     TKeyKind::Caption},
    {"items of a radio group: the QRadioButtons of a QGroupBox of that kind",
     [](const QWidget* w) { return HasKind(w, TDesignKind::RadioGroup); }, TKeyKind::RadioItems},
    {"items of a plain check list: QListWidget that is not a module check list",
     [](const QWidget* w) {
         return qobject_cast<const QListWidget*>(w) != nullptr &&
                qobject_cast<const TCheckList*>(w) == nullptr;
     },
     TKeyKind::ListItems},
    {"tree nodes: QTreeWidget",
     [](const QWidget* w) { return qobject_cast<const QTreeWidget*>(w) != nullptr; },
     TKeyKind::TreeNodes},
    {"tool tips of a navigator's buttons: the QToolButtons of a widget of that kind",
     [](const QWidget* w) { return HasKind(w, TDesignKind::Navigator); }, TKeyKind::NavigatorHints},
    {"attached caption label of an entry field, date field or drop-down: the QLabel buddy",
     [](const QWidget* w) { return AttachedLabel(w) != nullptr; }, TKeyKind::AttachedLabel},
    {"items of a drop-down list: QComboBox of that kind",
     [](const QWidget* w) {
         return qobject_cast<const QComboBox*>(w) != nullptr &&
                HasKind(w, TDesignKind::DropDownList);
     },
     TKeyKind::DropDownItems},
};

// Controls whose own children are their items, translated by their rule.
bool OwnsItsItems(const QWidget* widget) {
    return HasKind(widget, TDesignKind::RadioGroup) || HasKind(widget, TDesignKind::Navigator);
}

// Qt's own parts of a control (a spin box's line edit, a view's scroll bars) carry no name or
// one starting with "qt_"; only the program's named controls have keys.
bool IsNamedControl(const QWidget* widget) {
    const QString name = widget->objectName();
    return !name.isEmpty() && !name.startsWith(QLatin1String("qt_"));
}

}  // namespace

void SetDesignKind(QWidget* widget, TDesignKind kind) {
    widget->setProperty(Design_Kind_Property, int(kind));
}

QString ItemNumber(int index) {
    return QString::number(index, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

TTranslator::TTranslator(TMainView& view)
    : TTranslator(view, DataFolder() + QLatin1String(Database_File)) {}

TTranslator::TTranslator(TMainView& view, const QString& path)
    : DatabasePath(path),
      View(view),
      Connection(QStringLiteral("language-%1").arg(quintptr(this), 0, 16)) {
    DatabaseOpen = false;
    OpenDatabase();
}

TTranslator::~TTranslator() {
    if (QtTexts) {
        QCoreApplication::removeTranslator(QtTexts.get());
    }
    CloseDatabase();
}

void TTranslator::OpenDatabase() {
    CloseDatabase();
    if (!QFileInfo::exists(DatabasePath)) {
        View.ShowError(MissingFileMessage(DatabasePath));
        View.RequestQuit();
    }
    // Going on after a missing file reports the open's own error too.
    QSqlDatabase db = AddExistingDatabase(Connection, DatabasePath);
    if (!db.open()) {
        View.ShowError(db.lastError().text());
        return;
    }
    QSqlQuery table(db);
    if (!table.exec(QStringLiteral("SELECT * FROM Languages LIMIT 0"))) {
        View.ShowError(table.lastError().text());
        return;
    }
    DatabaseOpen = true;
}

void TTranslator::CloseDatabase() {
    DatabaseOpen = false;
    if (QSqlDatabase::contains(Connection)) {
        QSqlDatabase::database(Connection, false).close();
        QSqlDatabase::removeDatabase(Connection);
    }
}

void TTranslator::SelectLanguage(uint8_t language) {
    Language = language <= Language_French ? language : Language_English;
    if (QtTexts) {
        QCoreApplication::removeTranslator(QtTexts.get());
        QtTexts.reset();
    }
    static const char* const codes[] = {"en", "nl", "de", "es", "it", "fr"};
    if (Language == Language_English || QCoreApplication::instance() == nullptr) {
        return;
    }
    auto texts = std::make_unique<QTranslator>();
    if (texts->load(QStringLiteral("qtbase_") + QLatin1String(codes[Language]),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(texts.get());
        QtTexts = std::move(texts);
    }
}

QString TTranslator::Translate(const QString& key, const QString& defaultText) {
    if (defaultText.isEmpty() || !DatabaseOpen) {
        return defaultText;
    }
    const QSqlDatabase db = QSqlDatabase::database(Connection, false);
    const TTranslationLookup found = LookupTranslation(db, key, Language);
    if (found.Result == TTranslationLookup::Failed) {
        DebugLine("***Translation of " + key + " failed: " + found.Error);
        return defaultText;
    }
    if (found.Result == TTranslationLookup::Found) {
        return found.Text.isEmpty() ? defaultText : found.Text;
    }
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO Languages (Key, \"Default\") VALUES (?, ?)"));
    insert.addBindValue(key);
    insert.addBindValue(defaultText);
    if (!insert.exec() && !InsertFailed) {
        // A read-only table still translates; one line says why it no longer learns keys.
        InsertFailed = true;
        DebugLine("***New translation keys are not stored: " + insert.lastError().text());
    }
    return defaultText;
}

void TTranslator::TranslateForm(QWidget* window) {
    if (window == nullptr) {
        return;
    }
    const QString form = window->objectName();
    window->setWindowTitle(Translate(form + QLatin1String(".Caption"), window->windowTitle()));
    TranslateControls(form, window);
}

void TTranslator::TranslateControls(const QString& form, QWidget* parent) {
    for (QWidget* control : parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (control->isWindow()) {
            continue;  // a window of its own is translated in its own turn
        }
        if (IsNamedControl(control)) {
            TranslateControl(form, control);
            if (OwnsItsItems(control)) {
                continue;
            }
        }
        TranslateControls(form, control);
    }
}

void TTranslator::TranslateControl(const QString& form, QWidget* control) {
    const QString key = form + QLatin1Char('.') + control->objectName() + QLatin1Char('.');
    for (const TKeyRule& rule : Key_Rules) {
        if (!rule.Fits(control)) {
            continue;
        }
        switch (rule.Key) {
            case TKeyKind::Hint:
                control->setToolTip(Translate(key + "hint", control->toolTip()));
                break;
            case TKeyKind::Caption:
                if (auto* label = qobject_cast<QLabel*>(control)) {
                    label->setText(Translate(key + "caption", label->text()));
                } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
                    button->setText(Translate(key + "caption", button->text()));
                } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
                    group->setTitle(Translate(key + "caption", group->title()));
                }
                break;
            case TKeyKind::RadioItems: {
                const QList<QRadioButton*> items =
                    control->findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
                for (int i = 0; i < items.size(); ++i) {
                    items[i]->setText(Translate(key + "button" + ItemNumber(i), items[i]->text()));
                }
                break;
            }
            case TKeyKind::ListItems: {
                auto* list = qobject_cast<QListWidget*>(control);
                for (int i = 0; i < list->count(); ++i) {
                    QListWidgetItem* item = list->item(i);
                    item->setText(Translate(key + "item" + ItemNumber(i), item->text()));
                }
                break;
            }
            case TKeyKind::TreeNodes: {
                int index = 0;
                for (QTreeWidgetItemIterator it(qobject_cast<QTreeWidget*>(control)); *it;
                     ++it, ++index) {
                    (*it)->setText(0, Translate(key + "node" + ItemNumber(index), (*it)->text(0)));
                }
                break;
            }
            case TKeyKind::NavigatorHints: {
                const QList<QToolButton*> buttons =
                    control->findChildren<QToolButton*>(QString(), Qt::FindDirectChildrenOnly);
                for (int i = 0; i < buttons.size(); ++i) {
                    buttons[i]->setToolTip(
                        Translate(key + "hint" + ItemNumber(i), buttons[i]->toolTip()));
                }
                break;
            }
            case TKeyKind::AttachedLabel: {
                // The label is translated under its own name too; the control's key comes later
                // and wins where it is filled.
                QLabel* label = AttachedLabel(control);
                if (!label->isHidden()) {
                    label->setText(Translate(key + "caption", label->text()));
                }
                break;
            }
            case TKeyKind::DropDownItems: {
                auto* list = qobject_cast<QComboBox*>(control);
                const int selected = list->currentIndex();
                for (int i = 0; i < list->count(); ++i) {
                    list->setItemText(i,
                                      Translate(key + "item" + ItemNumber(i), list->itemText(i)));
                }
                list->setCurrentIndex(selected);
                break;
            }
        }
    }
}

void TTranslator::TranslateForm(TMsgForm& texts) {
    texts.SetCaption(Translate(TMsgForm::Name() + QLatin1String(".Caption"), texts.Caption()));
    for (const TMessageLabel& entry : texts.Labels()) {
        texts.SetText(entry.Name, Translate(TMsgForm::TranslationKey(entry.Name), entry.Caption));
    }
}

void TTranslator::AddForm(QWidget* window) {
    Forms.push_back({window, nullptr});
}

void TTranslator::AddForm(TMsgForm& texts) {
    Forms.push_back({nullptr, &texts});
}

void TTranslator::TranslateAllForms() {
    for (const TForm& form : Forms) {
        if (form.Texts != nullptr) {
            TranslateForm(*form.Texts);
        } else if (form.Window != nullptr) {
            TranslateForm(form.Window.data());
        }
    }
}

void TranslateOnCreate(QWidget* window) {
    if (Translator != nullptr) {
        Translator->TranslateForm(window);
    }
}
