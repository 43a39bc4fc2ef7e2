#include <gtest/gtest.h>

#include "compat/ui/PopupButton.h"

namespace ui {
namespace {

TEST(PopupButton, FindsByTitleSelectsByTagAndForgetsOnRemoveAll) {
  PopupButton popup;
  popup.addItemWithTitle("Music");
  popup.lastItem().tag = -5;
  popup.addItemWithTitle("Archive");
  popup.lastItem().tag = -6;
  EXPECT_EQ(popup.indexOfItemWithTitle("Archive"), 1);
  EXPECT_EQ(popup.indexOfItemWithTitle("archive"), -1);
  EXPECT_EQ(popup.indexOfSelectedItem(), -1);
  EXPECT_TRUE(popup.selectItemWithTag(-6));
  EXPECT_EQ(popup.indexOfSelectedItem(), 1);
  EXPECT_FALSE(popup.selectItemWithTag(7));
  EXPECT_EQ(popup.indexOfSelectedItem(), 1);
  popup.removeAllItems();
  EXPECT_EQ(popup.numberOfItems(), 0);
  EXPECT_EQ(popup.indexOfSelectedItem(), -1);
  EXPECT_FALSE(popup.selectItemWithTag(-6));
}

}  // namespace
}  // namespace ui
