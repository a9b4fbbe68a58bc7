#include "CheckList.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {

constexpr int Mark_Size = 13;
constexpr int Mark_Margin = 4;

// Draws the check mark as a cross in a small box in front of the text.
class TCrossDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        // The text as the style draws an entry, without the style's own check box.
        QStyleOptionViewItem text = option;
        initStyleOption(&text, index);
        text.features &= ~QStyleOptionViewItem::HasCheckIndicator;
        text.rect.setLeft(option.rect.left() + Mark_Size + 2 * Mark_Margin);
        const QStyle* style = text.widget != nullptr ? text.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &text, painter, text.widget);

        const QRect box(option.rect.left() + Mark_Margin,
                        option.rect.top() + (option.rect.height() - Mark_Size) / 2, Mark_Size,
                        Mark_Size);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setPen(QPen(Qt::black, 1));
        painter->setBrush(Qt::white);
        painter->drawRect(box.adjusted(0, 0, -1, -1));
        if (index.data(Qt::CheckStateRole).toInt() == Qt::Checked) {
            painter->setRenderHint(QPainter::Antialiasing, true);
            painter->setPen(QPen(Qt::black, 2));
            const QRect cross = box.adjusted(3, 3, -3, -3);
            painter->drawLine(cross.topLeft(), cross.bottomRight());
            painter->drawLine(cross.bottomLeft(), cross.topRight());
        }
        painter->restore();
    }
};

}  // namespace

TCheckList::TCheckList(const QString& name, QWidget* parent) : QListWidget(parent) {
    setObjectName(name);
    setItemDelegate(new TCrossDelegate(this));
    setCursor(Qt::PointingHandCursor);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::StrongFocus);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    setPalette(palette);
    connect(this, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        emit StateChange(row(item), item->checkState() == Qt::Checked);
    });
}

void TCheckList::AddEntry(const QString& text, int moduleId, bool checked) {
    auto* entry = new QListWidgetItem(text);
    entry->setData(Qt::UserRole, moduleId);
    entry->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    entry->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    // Not yet in the list: adding raises no state change.
    addItem(entry);
}

int TCheckList::ModuleId(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry != nullptr ? entry->data(Qt::UserRole).toInt() : 0;
}

bool TCheckList::Checked(int index) const {
    const QListWidgetItem* entry = item(index);
    return entry != nullptr && entry->checkState() == Qt::Checked;
}

void TCheckList::SetChecked(int index, bool checked) {
    if (QListWidgetItem* entry = item(index)) {
        entry->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
}

void TCheckList::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const int index = row(itemAt(event->position().toPoint()));
        if (index >= 0) {
            SetChecked(index, !Checked(index));
            setCurrentRow(index);
        }
    }
    event->accept();
}

void TCheckList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && currentRow() >= 0) {
        SetChecked(currentRow(), !Checked(currentRow()));
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void TCheckList::SetAllChecked(bool checked) {
    for (int i = 0; i < count(); ++i) {
        SetChecked(i, checked);
    }
}
