// The model of a popup button: an ordered list of items, each with a
// title, an integer tag, an image name, an enabled flag and a tool tip,
// and at most one selected item. A window draws it; nothing here draws.
//
// Titles are not required to be unique here; callers that need unique
// titles check with indexOfItemWithTitle() before adding.
//
// Thread: main thread only; no locking.
// Errors: lookups that find nothing answer -1 or false; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ui {

struct PopupItem {
  std::string title;
  int64_t tag = 0;
  // Name of the item's image in the icon theme; empty for no image.
  std::string imageName;
  bool enabled = true;
  std::string toolTip;
};

class PopupButton {
 public:
  virtual ~PopupButton() = default;

  void removeAllItems();
  // Appends an item with this title (tag 0, no image, enabled, no tool tip).
  void addItemWithTitle(const std::string& title);

  int numberOfItems() const { return static_cast<int>(items_.size()); }
  const std::vector<PopupItem>& items() const { return items_; }
  // The last item; must not be called on an empty popup.
  PopupItem& lastItem();
  PopupItem& itemAtIndex(int index);

  // Index of the first item with exactly this title, or -1.
  int indexOfItemWithTitle(const std::string& title) const;
  int indexOfItemWithTag(int64_t tag) const;

  // Selects the first item with this tag; false (selection unchanged) if
  // there is none.
  bool selectItemWithTag(int64_t tag);
  // -1 when nothing is selected.
  int indexOfSelectedItem() const { return selected_; }

 private:
  std::vector<PopupItem> items_;
  int selected_ = -1;
};

}  // namespace ui
