// The whole window on the sample library and the shipped fake drive,
// driven as a person would: uncheck, export, see the files.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "drive/DriveServices.h"
#include "drive/HardwarePaths.h"
#include "gui/MainWindow.h"
#include "gui/PlaylistTableModel.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

// Fontconfig keeps its configuration for the life of the process; the
// leak checker is told so rather than fail the window's tests.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace app {
namespace {

namespace fs = std::filesystem;

// One application for every test of the program, offscreen unless the
// environment names another platform. It is never destroyed: at exit the
// statics it would need are gone already.
QApplication& application() {
  static int argc = 1;
  static char name[] = "test_gui";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* qt = new QApplication(argc, argv);
  return *qt;
}

// Serves the event loop until `done` holds or the time is up.
template <class Done>
bool waitFor(Done done, int milliseconds) {
  QDeadlineTimer deadline(milliseconds);
  while (!done() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

void makeSample(const std::string& where) {
  ASSERT_EQ(std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                         where + "' >/dev/null")
                            .c_str()),
            0);
}

TEST(Window, ExportsTheCheckedPlaylistToTheFakeDrivesVolume) {
  testsupport::TempDir dir;
  std::string volume = dir / "mounts/media/alex/TESSA MUSIC";
  fs::create_directories(volume);
  std::string library = dir / "lib";
  makeSample(library);
  // The fake drive's disk tool is the executable's own.
  std::string tool = dir / "diskutil";
  testsupport::writeFile(
      tool, "#!/bin/sh\nexec '" TESSALINE_EXECUTABLE "' diskutil \"$@\"\n");
  fs::permissions(tool, fs::perms::owner_all);
  testsupport::ScopedConfiguration machine([&](platform::Configuration& c) {
    c.configHome = dir / "config";
    c.fakeMounts = dir / "mounts";
    c.fakeHardware = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";
    c.diskTool = tool;
  });
  drive::DriveServices::setShared(nullptr);
  application();

  MainWindow window({library + "/Library.xml", ""});
  window.show();
  QSignalSpy loaded(&window, &MainWindow::loaded);
  ASSERT_TRUE(loaded.wait(30000)) << window.status().text().toStdString();
  EXPECT_EQ(window.destinationPopup().currentText(), "TESSA MUSIC");
  int archive = window.destinationPopup().findText("ARCHIVE");
  ASSERT_GE(archive, 0);
  EXPECT_FALSE(window.destinationPopup().itemData(archive, Qt::ToolTipRole).toString().isEmpty());

  // Uncheck every playlist but one, by clicking its check box.
  PlaylistTableModel& model = window.playlists();
  ASSERT_EQ(model.rowCount(), 5);
  int roadTrip = -1;
  for (int row = 0; row < model.rowCount(); ++row) {
    if (model.rows()[row].name == "Road Trip") {
      roadTrip = row;
      continue;
    }
    QRect cell = window.table().visualRect(model.index(row, PlaylistTableModel::kCheck));
    QTest::mouseClick(window.table().viewport(), Qt::LeftButton, {}, cell.center());
  }
  ASSERT_EQ(model.checkedIds(), std::vector<std::string>{model.rows()[roadTrip].id});
  QString tip =
      model.data(model.index(roadTrip, PlaylistTableModel::kSpace), Qt::ToolTipRole).toString();
  EXPECT_TRUE(tip.startsWith("Road Trip: 6 tracks, 13 seconds, ")) << tip.toStdString();

  QSignalSpy exported(&window, &MainWindow::exported);
  ASSERT_TRUE(waitFor([&] { return window.exportButton().isEnabled(); }, 5000));
  QTest::mouseClick(&window.exportButton(), Qt::LeftButton);
  ASSERT_TRUE(exported.wait(60000));
  EXPECT_TRUE(window.status().text().contains("6 tracks on the drive"))
      << window.status().text().toStdString();
  EXPECT_TRUE(fs::exists(volume + "/Playlists/Road Trip.m3u8"));
  EXPECT_FALSE(fs::exists(volume + "/Playlists/Sunday.m3u8"));
  size_t copied = 0;
  for (const auto& e : fs::recursive_directory_iterator(volume + "/Music"))
    copied += e.is_regular_file();
  EXPECT_GE(copied, 6u);
  // Nothing is left to copy for it now.
  EXPECT_EQ(model.rows()[roadTrip].bytesToCopy, 0u);
}

// Cancel as the copy starts: it ends at the next track boundary, no
// playlist file is written, and every track left out says why.
TEST(Window, StoppedExportEndsAtATrackAndSaysWhy) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  fs::create_directories(dir / "drive");
  application();
  QObject receiver;
  ExportWorker worker(&receiver);
  std::optional<Loaded> loaded;
  worker.load(dir / "lib/Library.xml", dir / "drive", "", [&](Loaded l) { loaded = std::move(l); });
  ASSERT_TRUE(waitFor([&] { return loaded.has_value(); }, 30000));
  ASSERT_EQ(loaded->error, "");
  std::vector<std::string> ids;
  for (const auto& row : loaded->rows) ids.push_back(row.id);
  std::optional<Exported> done;
  worker.exportChosen(
      ids, [](CopyProgress) {}, [&](Exported e) { done = std::move(e); });
  worker.stop();
  ASSERT_TRUE(waitFor([&] { return done.has_value(); }, 30000));
  EXPECT_EQ(done->error, "");
  EXPECT_TRUE(done->stopped);
  uint64_t all = 0;
  for (const auto& row : loaded->rows) all += row.bytesToCopy;
  EXPECT_LT(done->copy.bytesCopied, all);
  ASSERT_FALSE(done->copy.notCopied.empty());
  for (const auto& t : done->copy.notCopied)
    EXPECT_EQ(t.reason, "the export was interrupted") << t.title;
  EXPECT_FALSE(fs::exists(dir / "drive/Playlists"));
}

}  // namespace
}  // namespace app
