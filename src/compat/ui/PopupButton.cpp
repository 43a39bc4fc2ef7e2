#include "compat/ui/PopupButton.h"

#include <cassert>

namespace ui {

void PopupButton::removeAllItems() {
  items_.clear();
  selected_ = -1;
}

void PopupButton::addItemWithTitle(const std::string& title) {
  PopupItem item;
  item.title = title;
  items_.push_back(std::move(item));
}

PopupItem& PopupButton::lastItem() {
  assert(!items_.empty());
  return items_.back();
}

PopupItem& PopupButton::itemAtIndex(int index) {
  assert(index >= 0 && index < numberOfItems());
  return items_[static_cast<size_t>(index)];
}

int PopupButton::indexOfItemWithTitle(const std::string& title) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].title == title) return static_cast<int>(i);
  }
  return -1;
}

int PopupButton::indexOfItemWithTag(int64_t tag) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].tag == tag) return static_cast<int>(i);
  }
  return -1;
}

bool PopupButton::selectItemWithTag(int64_t tag) {
  int index = indexOfItemWithTag(tag);
  if (index < 0) return false;
  selected_ = index;
  return true;
}

}  // namespace ui
