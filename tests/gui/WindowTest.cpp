// The whole window on the sample library and the shipped fake drive,
// driven as a person would: uncheck, export, see the files.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "MachineServices.h"
#include "TestApplication.h"
#include "base/ByteCountText.h"
#include "drive/DriveServices.h"
#include "drive/HardwarePaths.h"
#include "fs/DriveLimits.h"
#include "fs/FileManager.h"
#include "gui/MainWindow.h"
#include "gui/PlaylistTableModel.h"
#include "gui/Words.h"
#include "session/RememberedChoices.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

// Fontconfig keeps its configuration for the life of the process; the
// leak checker is told so rather than fail the window's tests.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace app {
namespace {

namespace stdfs = std::filesystem;

using testgui::application;

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

// Exports everything, then only Road Trip: the drive then holds Road Trip
// alone, the checks survive a restart (and serve `export --remembered`),
// and a track that cannot be copied is listed with its report.
TEST(Window, ExportsTheCheckedPlaylistsAndRemembersThemForTheDrive) {
  testsupport::TempDir dir;
  std::string volume = dir / "mounts/media/alex/TESSA MUSIC";
  stdfs::create_directories(volume);
  std::string library = dir / "lib";
  makeSample(library);
  // The fake drive's disk tool is the executable's own.
  std::string tool = dir / "diskutil";
  testsupport::writeFile(tool, "#!/bin/sh\nexec '" TESSALINE_EXECUTABLE "' diskutil \"$@\"\n");
  stdfs::permissions(tool, stdfs::perms::owner_all);
  testsupport::ScopedConfiguration machine([&](base::Configuration& c) {
    c.configHome = dir / "config";
    c.fakeMounts = dir / "mounts";
    c.fakeHardware = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";
    c.diskTool = tool;
  });
  drive::DriveServices::setShared(nullptr);
  application();
  auto exportNow = [](MainWindow& window) {
    QSignalSpy exported(&window, &MainWindow::exported);
    ASSERT_TRUE(waitFor([&] { return window.exportButton().isEnabled(); }, 5000));
    QTest::mouseClick(&window.exportButton(), Qt::LeftButton);
    ASSERT_TRUE(exported.wait(60000));
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }, 5000));
  };
  std::string roadTripId;
  {
    MainWindow window({library + "/Library.xml", "", app::machineServices()});
    window.show();
    QSignalSpy loaded(&window, &MainWindow::loaded);
    ASSERT_TRUE(loaded.wait(30000)) << window.status().text().toStdString();
    EXPECT_EQ(window.destinationPopup().currentText(), "TESSA MUSIC");
    int archive = window.destinationPopup().findText("ARCHIVE");
    ASSERT_GE(archive, 0);
    EXPECT_FALSE(window.destinationPopup().itemData(archive, Qt::ToolTipRole).toString().isEmpty());
    PlaylistTableModel& model = window.playlists();
    ASSERT_EQ(model.rowCount(), 5);
    ASSERT_TRUE(
        waitFor([&] { return window.headline().text().endsWith(") to TESSA MUSIC"); }, 5000));
    EXPECT_TRUE(window.headline().text().startsWith("Export 5 playlists ("))
        << window.headline().text().toStdString();
    exportNow(window);
    EXPECT_TRUE(stdfs::exists(volume + "/Playlists/Sunday.m3u8"));

    // Uncheck every playlist but one, by clicking its check box.
    int roadTrip = -1;
    for (int row = 0; row < model.rowCount(); ++row) {
      if (model.rows()[row].name == "Road Trip") {
        roadTrip = row;
        continue;
      }
      QRect cell = window.table().visualRect(model.index(row, PlaylistTableModel::kCheck));
      QTest::mouseClick(window.table().viewport(), Qt::LeftButton, {}, cell.center());
    }
    roadTripId = model.rows()[roadTrip].id;
    ASSERT_EQ(model.checkedIds(), std::vector<std::string>{roadTripId});
    QString tip =
        model.data(model.index(roadTrip, PlaylistTableModel::kSpace), Qt::ToolTipRole).toString();
    EXPECT_EQ(tip, "Road Trip: 6 tracks, 0:13, nothing left to copy");
    ASSERT_TRUE(waitFor([&] { return window.headline().text().contains("1 playlist"); }, 5000));
    EXPECT_TRUE(window.headline().text().startsWith(
        "Export 1 playlist (nothing to copy) to TESSA MUSIC and remove Nordic, World, "
        "Favourites ♥ and 1 more (13 tracks, "))
        << window.headline().text().toStdString();
    const CapacityParts& parts = window.capacityBar().parts();
    EXPECT_GT(parts.alreadyThere, 0u);
    EXPECT_GT(parts.freed, 0u);
    EXPECT_EQ(parts.toCopy, 0u);
    EXPECT_EQ(parts.others() + parts.alreadyThere + parts.freeAfter(), parts.capacity);

    // The export would remove what only the unticked playlists need: it
    // asks first. Export Only keeps them; Export and Remove, remembered,
    // removes them and is not asked again for this drive.
    std::vector<RemovalQuestion> asked;
    RemovalAnswer answer{RemovalAnswer::kExportOnly, false};
    window.setRemovalQuestion([&](const RemovalQuestion& question) {
      asked.push_back(question);
      return answer;
    });
    exportNow(window);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].playlists.contains("Sunday")) << asked[0].playlists.join(",").toStdString();
    EXPECT_GE(asked[0].files, asked[0].playlists.size() + 1);
    EXPECT_TRUE(stdfs::exists(volume + "/Playlists/Sunday.m3u8"));
    answer = {RemovalAnswer::kRemove, true};
    exportNow(window);
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_TRUE(stdfs::exists(volume + "/Playlists/Road Trip.m3u8"));
    EXPECT_FALSE(stdfs::exists(volume + "/Playlists/Sunday.m3u8"));
    EXPECT_FALSE(window.problemsButton().isVisible());
    exportNow(window);
    EXPECT_EQ(asked.size(), 2u);
  }
  // Another window, as after a restart: Road Trip alone is checked.
  MainWindow window({library + "/Library.xml", "", app::machineServices()});
  window.show();
  QSignalSpy loaded(&window, &MainWindow::loaded);
  ASSERT_TRUE(loaded.wait(30000));
  PlaylistTableModel& model = window.playlists();
  EXPECT_EQ(model.checkedIds(), std::vector<std::string>{roadTripId});
  std::string json = dir / "report.json";
  ASSERT_EQ(std::system(("XDG_CONFIG_HOME='" + dir / "config" + "' TESSALINE_FAKE_MOUNTS='" +
                         dir / "mounts" + "' TESSALINE_DISKUTIL='" + tool +
                         "' '" TESSALINE_EXECUTABLE "' --fake-hardware '" TESSALINE_SOURCE_DIR
                         "/resources/fake-hardware/tessaline-drive' export --remembered --dry-run "
                         "--json --library '" +
                         library + "/Library.xml' > '" + json + "'")
                            .c_str()),
            0);
  auto remembered = nlohmann::json::parse(testsupport::readFile(json));
  ASSERT_EQ(remembered["playlists"].size(), 1u);
  EXPECT_EQ(remembered["playlists"][0]["id"], roadTripId);

  // The conversion chosen is the drive's: it plans again, keeps the
  // checks, and a window opened later shows it.
  window.convertToPopup().setCurrentText("opus");
  QTest::mouseClick(&window.convertBox(), Qt::LeftButton);
  ASSERT_TRUE(loaded.wait(30000));
  EXPECT_EQ(model.checkedIds(), std::vector<std::string>{roadTripId});
  {
    MainWindow later({library + "/Library.xml", "", app::machineServices()});
    QSignalSpy laterLoaded(&later, &MainWindow::loaded);
    ASSERT_TRUE(laterLoaded.wait(30000));
    EXPECT_TRUE(later.convertBox().isChecked());
    EXPECT_EQ(later.convertToPopup().currentText(), "opus");
    EXPECT_EQ(later.playlists().checkedIds(), std::vector<std::string>{roadTripId});
  }

  // A track whose file went away: the export lists it as a problem.
  int sunday = -1;
  for (int row = 0; row < model.rowCount(); ++row)
    if (model.rows()[row].name == "Sunday") sunday = row;
  ASSERT_GE(sunday, 0);
  model.setChecked(sunday, true);
  // Road Trip's tracks are on the drive already; Sunday's own are gone.
  for (const auto& e : stdfs::recursive_directory_iterator(library))
    if (e.is_regular_file() && e.path().extension() != ".xml") stdfs::remove(e.path());
  exportNow(window);
  EXPECT_TRUE(window.problemsButton().isVisible()) << window.status().text().toStdString();
  QTableWidget& problems = window.problems().list();
  ASSERT_GE(problems.rowCount(), 1);
  EXPECT_TRUE(problems.isSortingEnabled());
  ASSERT_EQ(window.problems().saveReport(QString::fromStdString(dir / "saved.json")), "");
  auto saved = nlohmann::json::parse(testsupport::readFile(dir / "saved.json"));
  EXPECT_EQ(saved["notCopied"].size(), static_cast<size_t>(problems.rowCount()));
  EXPECT_EQ(saved["status"], "problems");

  // No system bus here: Eject says so and leaves the drive as it is.
  testsupport::ScopedConfiguration noBus(
      [&](base::Configuration& c) { c.systemBus = "unix:path=" + dir / "no-bus"; });
  ASSERT_TRUE(window.ejectButton().isEnabled());
  QTest::mouseClick(&window.ejectButton(), Qt::LeftButton);
  EXPECT_TRUE(waitFor([&] { return window.status().text().contains("cannot be ejected"); }, 10000))
      << window.status().text().toStdString();
}

// First start on a machine without the drive: the hint until a library
// is known, then its playlists before any destination, and the drive
// banner gone once a folder is the destination.
TEST(Window, FirstStartShowsTheLibraryBeforeADestination) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  stdfs::create_directories(dir / "nothing");
  stdfs::create_directories(dir / "stick");
  testsupport::ScopedConfiguration machine([&](base::Configuration& c) {
    c.home = dir / "home";
    c.configHome = dir / "config";
    c.fakeHardware = dir / "nothing";
  });
  drive::DriveServices::setShared(nullptr);
  application();
  struct {
    std::string library, to;
    const char* headline;
    int rows;
    bool hint, banner;
  } starts[] = {
      {"", "", "Choose your library file", 0, true, true},
      {dir / "lib/Library.xml", "", "Choose a drive or folder", 5, false, true},
      {dir / "lib/Library.xml", dir / "stick", "Export 5 playlists (", 5, false, false},
  };
  for (const auto& start : starts) {
    MainWindow window({start.library, start.to, app::machineServices()});
    window.show();
    ASSERT_TRUE(waitFor(
        [&] {
          return !window.busy() && window.playlists().rowCount() == start.rows &&
                 window.headline().text().startsWith(start.headline);
        },
        30000))
        << window.headline().text().toStdString() << " / " << window.status().text().toStdString();
    EXPECT_EQ(window.hint().isVisible(), start.hint) << start.headline;
    EXPECT_EQ(window.explanation().isVisible(), start.banner) << start.headline;
  }
}

// The headline and the Export button say what the export's clean-up
// removes for each set of ticks, by the drive's own playlist files: what
// only unticked playlists list, and their files. The capacity bar counts
// it free after the export. Nothing is said once "keep" is remembered.
TEST(Window, HeadlineAndButtonSayWhatTheExportRemoves) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  const std::string stick = dir / "stick";
  stdfs::create_directories(stick);
  testsupport::ScopedConfiguration machine([&](base::Configuration& c) {
    c.home = dir / "home";
    c.configHome = dir / "config";
    c.fakeHardware = dir / "nothing";
  });
  drive::DriveServices::setShared(nullptr);
  application();
  auto open = [&] {
    auto window = std::make_unique<MainWindow>(
        WindowOptions{dir / "lib/Library.xml", stick, app::machineServices()});
    window->setRemovalQuestion([](const RemovalQuestion&) {
      ADD_FAILURE() << "asked with nothing to remove";
      return RemovalAnswer{};
    });
    QSignalSpy loaded(window.get(), &MainWindow::loaded);
    EXPECT_TRUE(loaded.wait(30000));
    return window;
  };
  auto window = open();
  {
    QSignalSpy exported(window.get(), &MainWindow::exported);
    QTest::mouseClick(&window->exportButton(), Qt::LeftButton);
    ASSERT_TRUE(exported.wait(60000));
  }
  // The files a playlist file on the drive lists, and the file itself.
  auto filesOf = [&](const std::string& name) {
    std::set<std::string> files{stick + "/Playlists/" + name + ".m3u8"};
    std::istringstream text(testsupport::readFile(*files.begin()));
    for (std::string line; std::getline(text, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line[0] != '#')
        files.insert((stdfs::path(stick) / "Playlists" / line).lexically_normal().string());
    }
    return files;
  };
  const std::vector<std::string> names = {"Nordic", "Road Trip", "World", "Favourites ♥", "Sunday"};
  struct {
    std::set<std::string> ticked;
    const char* remembered;
    const char* removed;  // the playlists named; none: nothing is said
  } rows[] = {
      {{"Nordic", "Road Trip", "World", "Favourites ♥", "Sunday"}, "", nullptr},
      {{"Nordic", "Road Trip", "World", "Favourites ♥"}, "", "Sunday"},
      {{"Road Trip", "Favourites ♥"}, "", "Nordic, World and Sunday"},
      {{"Road Trip"}, "", "Nordic, World, Favourites ♥ and 1 more"},
      {{"Road Trip"}, "keep", nullptr},
  };
  std::string remembered;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.removed ? row.removed : row.remembered);
    if (row.remembered != remembered) {
      remembered = row.remembered;
      session::RememberedChoices(session::RememberedChoices::defaultFile(*base::configuration()),
                                 app::machineServices().fileManager())
          .rememberRemoval(session::RememberedChoices::keyForFolder(window->root()), remembered);
      window.reset();
      window = open();
    }
    PlaylistTableModel& model = window->playlists();
    for (int r = 0; r < model.rowCount(); ++r)
      model.setChecked(r, row.ticked.count(model.rows()[r].name) != 0);
    std::set<std::string> kept, gone;
    for (const auto& name : names) (row.ticked.count(name) ? kept : gone).merge(filesOf(name));
    uint64_t tracks = 0, bytes = 0, onDisk = 0;
    for (const auto& file : gone) {
      if (kept.count(file)) continue;
      tracks += stdfs::path(file).extension() != ".m3u8";
      bytes += stdfs::file_size(file);
      onDisk += fs::driveLimitsOf(stick).onDisk(stdfs::file_size(file));
    }
    std::string count = countOf(row.ticked.size(), "playlist", "playlists");
    std::string removal = row.removed ? std::string(" and remove ") + row.removed + " (" +
                                            countOf(tracks, "track", "tracks") + ", " +
                                            base::byteCountText(static_cast<double>(bytes)) + ")"
                                      : "";
    std::string headline = "Export " + count + " (nothing to copy) to stick" + removal;
    EXPECT_TRUE(waitFor([&] { return window->headline().text().toStdString() == headline; }, 5000))
        << window->headline().text().toStdString() << " / " << headline;
    EXPECT_EQ(window->exportButton().text().toStdString(),
              row.removed ? "Export " + count + removal : "Export");
    const CapacityParts& parts = window->capacityBar().parts();
    EXPECT_EQ(parts.freed, row.removed ? onDisk : 0);  // in the drive's clusters
    EXPECT_EQ(parts.freeAfter(), parts.free + parts.freed);
    EXPECT_EQ(parts.others() + parts.alreadyThere + parts.freeAfter(), parts.capacity);
  }
}

// The problems list of an export that went wrong in three ways: a
// missing source, a conversion that failed, a place not looked at; in
// the session's own words. With TESSALINE_DOCS_SHOTS set (make
// docs-shots), its picture goes to that folder for the README.
TEST(Window, ProblemsListNamesEachFailureWithWhereAndWhy) {
  application();
  const std::string music = "/home/alex/Music/";
  Exported result;
  auto notCopied = [&](const char* artist, const char* title, const std::string& source,
                       base::FileError why) {
    result.copy.notCopied.push_back(
        {title, artist, source, "", "", describeCopyFailure(why, source), why.path, why.code});
  };
  const std::string missing = music + "Björk/Homogenic/01 Jóga.m4a";
  notCopied("Björk", "Jóga", missing, {ENOENT, "", missing});
  const std::string broken = music + "Sigur Rós/Takk…/02 Glósóli.flac";
  notCopied("Sigur Rós", "Glósóli", broken,
            base::Status::failure("cannot convert", broken, "it holds no sound FFmpeg can decode")
                .toFileError());
  fs::LookFailures looks;
  looks.add(EIO, "/media/alex/TESSA MUSIC/Music/Nils Frahm/Spaces");
  result.notLookedAt = looks.all();
  result.copy.notCopied.push_back(
      {"Hoppípolla", "Sigur Rós", "", "", "", "the export was interrupted"});
  result.stopped = false;
  std::vector<Problem> problems = problemsOf(result);
  ASSERT_EQ(problems.size(), 4u);
  EXPECT_EQ(problems[0].item, "Björk – Jóga");
  EXPECT_EQ(problems[0].reason, "the source file is missing (" + missing + ")");
  EXPECT_EQ(problems[1].path, broken);
  EXPECT_NE(problems[1].reason.find("it holds no sound FFmpeg can decode"), std::string::npos)
      << problems[1].reason;
  EXPECT_EQ(problems[3].item, "Not looked at");
  EXPECT_EQ(problems[3].path, "/media/alex/TESSA MUSIC/Music/Nils Frahm/Spaces");
  EXPECT_FALSE(problems[3].reason.empty());
  // A stopped export does not list what it never reached as a problem.
  result.stopped = true;
  EXPECT_EQ(problemsOf(result).size(), 3u);
  problems.erase(problems.begin() + 2);
  ProblemsDialog dialog;
  dialog.setProblems(problems, "{}");
  EXPECT_EQ(dialog.list().rowCount(), 3);
  EXPECT_EQ(dialog.windowTitle(), "3 Problems");
  if (const char* shots = std::getenv("TESSALINE_DOCS_SHOTS")) {
    dialog.resize(1180, 200);
    dialog.list().resizeColumnToContents(1);
    dialog.list().setCurrentItem(nullptr);
    dialog.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.grab().save(QString(shots) + "/problems.png", "PNG"));
  }
}

// Cancel as the copy starts: it ends at the next track boundary, no
// playlist file is written, and every track left out says why.
TEST(Window, StoppedExportEndsAtATrackAndSaysWhy) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  stdfs::create_directories(dir / "drive");
  application();
  QObject receiver;
  ExportWorker worker(&receiver, app::machineServices());
  std::optional<Loaded> loaded;
  worker.load(dir / "lib/Library.xml", dir / "drive", "", [&](Loaded l) { loaded = std::move(l); });
  ASSERT_TRUE(waitFor([&] { return loaded.has_value(); }, 30000));
  ASSERT_EQ(loaded->error, "");
  std::vector<std::string> ids;
  for (const auto& row : loaded->rows) ids.push_back(row.id);
  std::optional<Exported> done;
  worker.exportChosen(
      ids, true, [](CopyProgress) {}, [&](Exported e) { done = std::move(e); });
  worker.stop();
  ASSERT_TRUE(waitFor([&] { return done.has_value(); }, 30000));
  EXPECT_EQ(done->error, "");
  EXPECT_TRUE(done->stopped);
  uint64_t all = 0;
  for (const auto& row : loaded->rows) all += row.bytesToCopy;
  EXPECT_LT(done->copy.bytesCopied, all);
  ASSERT_FALSE(done->copy.notCopied.empty()) << done->report;
  for (const auto& t : done->copy.notCopied)
    EXPECT_EQ(t.reason, "the export was interrupted") << t.title;
  EXPECT_FALSE(stdfs::exists(dir / "drive/Playlists"));
}

}  // namespace
}  // namespace app
