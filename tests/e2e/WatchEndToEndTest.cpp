// `tessaline watch --once` on the fake machine's Tessaline drive: the
// remembered playlists are exported to a watched drive and the desktop is
// told at the start and the end (a stand-in notification daemon on a
// private session bus records what was shown); a drive another process
// is exporting to, and one that is not watched, are left alone; and what
// no remembered playlist needs goes only with "remove" remembered.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <filesystem>
#include <mutex>

#include "support/PrivateBus.h"

namespace watch_e2e {

namespace stdfs = std::filesystem;

std::mutex shownMutex;
std::vector<std::string> shown;  // "summary | body | actions"

int notify(sd_bus_message* m, void*, sd_bus_error*) {
  const char *app, *icon, *summary, *body, *action;
  uint32_t replaces;
  sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
  std::string actions;
  sd_bus_message_enter_container(m, 'a', "s");
  while (sd_bus_message_read(m, "s", &action) > 0) actions += std::string(action) + ",";
  std::lock_guard<std::mutex> lock(shownMutex);
  shown.push_back(std::string(summary) + " | " + actions);
  return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(shown.size()));
}
// The stand-in udisks2 sends InterfacesAdded when asked: a drive plugged in.
int plugIn(sd_bus_message* m, void*, sd_bus_error*) {
  sd_bus_emit_signal(sd_bus_message_get_bus(m), "/org/freedesktop/UDisks2",
                     "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", "oa{sa{sv}}",
                     "/org/freedesktop/UDisks2/block_devices/sdb1", 0);
  return sd_bus_reply_method_return(m, "");
}
const sd_bus_vtable kPlug[] = {SD_BUS_VTABLE_START(0), SD_BUS_METHOD("PlugIn", "", "", plugIn, 0),
                               SD_BUS_VTABLE_END};

size_t shownCount() {
  std::lock_guard<std::mutex> lock(shownMutex);
  return shown.size();
}

const sd_bus_vtable kNotifications[] = {SD_BUS_VTABLE_START(0),
                                        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
                                        SD_BUS_VTABLE_END};

TEST(WatchEndToEndThreaded, ExportsToAWatchedDriveOnceAndSaysSo) {
  testsupport::TempDir dir;
  testsupport::PrivateBus session;
  if (!session.ok()) GTEST_SKIP() << "dbus-daemon could not be started";
  session.serve("org.freedesktop.Notifications", [](sd_bus* bus) {
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                             "org.freedesktop.Notifications", kNotifications, nullptr);
  });
  const std::string drive = dir / "mounts/media/alex/TESSA MUSIC";
  stdfs::create_directories(drive);
  testsupport::writeOneTrackLibrary(dir.path());
  // Saved a while ago: nothing to wait for.
  stdfs::last_write_time(dir / "Library.xml",
                         stdfs::file_time_type::clock::now() - std::chrono::minutes(1));
  const std::string env =
      "env -u TESSALINE_FAKE_HARDWARE DBUS_SESSION_BUS_ADDRESS='" + session.address() +
      "' XDG_CONFIG_HOME='" + dir / "config" + "' TESSALINE_FAKE_MOUNTS='" + dir / "mounts" +
      "' TESSALINE_RESOURCES='" TESSALINE_SOURCE_DIR "/resources' '" TESSALINE_EXECUTABLE
      "' --fake-hardware '" TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive' ";
  const std::string exported =
      "Exported 1 playlist to TESSA MUSIC: 0 tracks copied, 0 problems | show,Show,eject,Eject,";
  // Unattended, watch removes only what the window's "Export and Remove"
  // was remembered for: the track the emptied playlist no longer lists.
  struct {
    const char* what;
    bool watched, locked;
    int status;
    std::vector<std::string> shown;
    bool exported;
    bool emptied = false;  // the playlist lists nothing now
    const char* removal = "";
    bool trackThere = false;
  } rows[] = {
      {"not watched", false, false, 0, {}, false},
      {"another process exporting there",
       true,
       true,
       1,
       {"Exporting to TESSA MUSIC | ", "Not exported to TESSA MUSIC | "},
       false},
      {"watched",
       true,
       false,
       0,
       {"Exporting to TESSA MUSIC | ",
        "Exported 1 playlist to TESSA MUSIC: 1 track copied, 0 problems | show,Show,eject,Eject,"},
       true,
       false,
       "",
       true},
      {"no removal remembered",
       true,
       false,
       0,
       {"Exporting to TESSA MUSIC | ", exported},
       true,
       true,
       "",
       true},
      {"keep remembered",
       true,
       false,
       0,
       {"Exporting to TESSA MUSIC | ", exported},
       true,
       true,
       "keep",
       true},
      {"remove remembered",
       true,
       false,
       0,
       {"Exporting to TESSA MUSIC | ", exported},
       true,
       true,
       "remove",
       false},
  };
  const std::string library = testsupport::readFile(dir / "Library.xml");
  const std::string items =
      "<array><dict><key>Track ID</key><integer>1</integer></dict></array></dict></array>";
  ASSERT_NE(library.find(items), std::string::npos);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.emptied) {
      std::string emptied = library;
      emptied.replace(emptied.find(items), items.size(), "<array></array></dict></array>");
      testsupport::writeFile(dir / "Library.xml", emptied);
      stdfs::last_write_time(dir / "Library.xml",
                             stdfs::file_time_type::clock::now() - std::chrono::minutes(1));
    }
    testsupport::writeFile(dir / "config/tessaline/remembered-playlists.json",
                           std::string("{\"destinations\":{\"uuid:6A1E-3C07\":{\"playlists\":"
                                       "[\"P1\"],\"removal\":\"") +
                               row.removal + "\",\"watch\":" + (row.watched ? "true" : "false") +
                               "}}}");
    int held = -1;
    if (row.locked) {
      stdfs::create_directories(drive + "/.tessaline");
      testsupport::writeFile(drive + "/.tessaline/lock", "4242");
      // flock is per open file: the child's export finds it taken.
      held = open((drive + "/.tessaline/lock").c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_EQ(flock(held, LOCK_EX), 0);
    }
    {
      std::lock_guard<std::mutex> lock(shownMutex);
      shown.clear();
    }
    std::string command = env + "watch --once --library '" + dir / "Library.xml" + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    int status = pclose(pipe);
    if (held >= 0) close(held);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status) << out;
    {
      std::lock_guard<std::mutex> lock(shownMutex);
      EXPECT_EQ(shown, row.shown) << out;
    }
    EXPECT_EQ(stdfs::exists(drive + "/Playlists/Mix.m3u8"), row.exported) << out;
    bool trackThere = false;
    if (stdfs::exists(drive + "/Music"))
      for (const auto& e : stdfs::recursive_directory_iterator(drive + "/Music"))
        trackThere |= e.path().filename() == "a.mp3";
    EXPECT_EQ(trackThere, row.trackThere) << out;
  }

  // Watching: the drive attached at the start is exported to once, and
  // not again while it stays plugged in, whatever udisks2 reports.
  testsupport::PrivateBus system;
  ASSERT_TRUE(system.ok());
  system.serve("org.freedesktop.UDisks2", [](sd_bus* bus) {
    sd_bus_add_object_vtable(bus, nullptr, "/test", "test.Plug", kPlug, nullptr);
  });
  {
    std::lock_guard<std::mutex> lock(shownMutex);
    shown.clear();
  }
  std::string command = "exec env DBUS_SYSTEM_BUS_ADDRESS='" + system.address() + "' " + env +
                        "watch --library '" + dir / "Library.xml" + "' 2>'" + dir / "watch.log" +
                        "'";
  pid_t watch = fork();
  if (watch == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  for (int i = 0; i < 300 && shownCount() < 2; ++i) usleep(20000);
  EXPECT_EQ(shownCount(), 2u);
  sd_bus* caller = nullptr;
  sd_bus_new(&caller);
  sd_bus_set_address(caller, system.address().c_str());
  sd_bus_set_bus_client(caller, 1);
  sd_bus_start(caller);
  EXPECT_GE(sd_bus_call_method(caller, "org.freedesktop.UDisks2", "/test", "test.Plug", "PlugIn",
                               nullptr, nullptr, ""),
            0);
  sd_bus_flush_close_unref(caller);
  usleep(1500000);
  EXPECT_EQ(shownCount(), 2u);
  EXPECT_NE(testsupport::readFile(dir / "watch.log").find("udisks2 reports a change"),
            std::string::npos);
  kill(watch, SIGTERM);
  int status = 0;
  waitpid(watch, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace watch_e2e
