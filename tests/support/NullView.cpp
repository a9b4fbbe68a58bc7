#include "NullView.h"

void TNullView::ShowError(const QString& text) {
    Errors << text;
}

void TNullView::RequestQuit() {
    QuitRequested = true;
}

void TNullView::ClearCheckList(TModuleList list) {
    Items(list).clear();
}

void TNullView::AddCheckListItem(TModuleList list, const TCheckListItem& item) {
    Items(list).push_back(item);
}

int TNullView::CheckListCount(TModuleList list) const {
    return int(Items(list).size());
}

// The program never names an item that is not there: an index out of range throws.
TCheckListItem TNullView::CheckListItem(TModuleList list, int index) const {
    return Items(list).at(size_t(index));
}

void TNullView::SetCheckListItemChecked(TModuleList list, int index, bool checked) {
    Items(list).at(size_t(index)).Checked = checked;
}
