#include "InventoryDelegates.h"

#include <QCheckBox>

namespace {

constexpr int Max_Port = 65535;

}  // namespace

bool PortValid(const QString& text) {
    bool number = false;
    const int port = text.toInt(&number);
    return number && port >= 0 && port <= Max_Port;
}

void TKestFieldDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    const QVariant value = index.data(Qt::EditRole);
    if (auto* check = qobject_cast<QCheckBox*>(editor)) {
        check->setChecked(value.toInt() != 0);
    } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
        if (edit->text() != value.toString()) {
            edit->setText(value.toString());
        }
    } else {
        QItemDelegate::setEditorData(editor, index);
    }
}

void TKestFieldDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                      const QModelIndex& index) const {
    const QVariant stored = index.data(Qt::EditRole);
    if (auto* check = qobject_cast<QCheckBox*>(editor)) {
        if ((stored.toInt() != 0) != check->isChecked()) {
            model->setData(index, check->isChecked() ? 1 : 0);
        }
        return;
    }
    auto* edit = qobject_cast<QLineEdit*>(editor);
    if (edit == nullptr) {
        QItemDelegate::setModelData(editor, model, index);
        return;
    }
    QString text = edit->text();
    if (edit == Trimmed) {
        text = text.trimmed();
    }
    if ((stored.isNull() && text.isEmpty()) || stored.toString() == text) {
        return;
    }
    if (edit == Number && !PortValid(text)) {
        return;  // never stored; the field gives the value back when the user leaves it
    }
    model->setData(index, edit == Number ? QVariant(text.toInt()) : QVariant(text));
}
