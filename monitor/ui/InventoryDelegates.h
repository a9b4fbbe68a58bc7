// The helpers of the box list editor: the delegates between the box fields and the box list's
// cache and of the list's rows, and a watch on another object's events.
#pragma once

#include <QItemDelegate>
#include <QLineEdit>
#include <QObject>
#include <QStyledItemDelegate>
#include <functional>

class QEvent;

// A port is a number of up to five digits no higher than 65535.
bool PortValid(const QString& text);

// Watches the events of one object for the editor, without subclassing the control.
class TEventHook : public QObject {
public:
    using THandler = std::function<void(QEvent*)>;
    TEventHook(QObject* watched, THandler handler) : QObject(watched), Handler(std::move(handler)) {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        Handler(event);
        return false;
    }

private:
    THandler Handler;
};

// Moves the box fields between the controls and KestsTable's cache. The password is stored
// without surrounding blanks, the port as a number; a field that did not change, or an empty
// field over an empty database value, leaves the row untouched, so that merely leaving a box
// never marks it as edited.
class TKestFieldDelegate : public QItemDelegate {
public:
    TKestFieldDelegate(QObject* parent, const QLineEdit* trimmed, const QLineEdit* number)
        : QItemDelegate(parent), Trimmed(trimmed), Number(number) {}

    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;

private:
    const QLineEdit* Trimmed;
    const QLineEdit* Number;
};

// The box list shows one name per row of a fixed height.
constexpr int List_Row_Height = 20;

class TKestListDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), List_Row_Height};
    }
};
