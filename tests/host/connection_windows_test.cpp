#include <gtest/gtest.h>

#include "host/server/ConnectionWindows.h"
#include "runtime/frmCommThread.h"

namespace quorvan::host {
namespace {

TEST(ConnectionWindows, AClientWindowLivesAsLongAsItsConnection) {
  ConnectionWindows windows;
  windows.setCaption(":1.7", "Diag");
  EXPECT_TRUE(windows.findWindow(kClientWindowClass, "Diag"));
  EXPECT_FALSE(windows.findWindow(kOldClientWindowClass, "Diag"));
  EXPECT_FALSE(windows.findWindow(kClientWindowClass, "diag"));
  windows.dropOwner(":1.7");
  EXPECT_FALSE(windows.findWindow(kClientWindowClass, "Diag"));
}

TEST(ConnectionWindows, RenamingReplacesTheConnectionsCaption) {
  ConnectionWindows windows;
  windows.setCaption(":1.7", "Old");
  windows.setCaption(":1.7", "New");
  EXPECT_FALSE(windows.findWindow(kClientWindowClass, "Old"));
  EXPECT_TRUE(windows.findWindow(kClientWindowClass, "New"));
  windows.setCaption(":1.7", "");
  EXPECT_FALSE(windows.hasOwner(":1.7"));
}

TEST(ConnectionWindows, TwoConnectionsWithOneCaptionKeepItUntilBothHaveGone) {
  ConnectionWindows windows;
  windows.setCaption(":1.7", "Diag");
  windows.setCaption(":1.9", "Diag");
  windows.dropOwner(":1.7");
  EXPECT_TRUE(windows.findWindow(kClientWindowClass, "Diag"));
  windows.dropOwner(":1.9");
  EXPECT_FALSE(windows.findWindow(kClientWindowClass, "Diag"));
}

}  // namespace
}  // namespace quorvan::host
