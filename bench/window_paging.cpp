// The window on a large library, as a person pages through it: the
// seconds until its table is filled, and the longest the event loop went
// unserved while the table was paged down and up again (each page a key
// press, as a person would give it). Prints: seconds, worst gap in ms,
// rows, pages.
//   bench_window_paging LIBRARY DRIVE_FOLDER
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "MachineServices.h"
#include "gui/MainWindow.h"
#include "gui/PlaylistTableModel.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s LIBRARY DRIVE_FOLDER\n", argv[0]);
    return 2;
  }
  std::string library = argv[1], drive = argv[2];
  int qtArgc = 1;
  QApplication qt(qtArgc, argv);
  QElapsedTimer clock;
  clock.start();
  // The machine's services, as the window's own program passes them.
  app::MainWindow window({library, drive, app::machineServices()});
  bool loaded = false;
  QObject::connect(&window, &app::MainWindow::loaded, [&] { loaded = true; });
  window.resize(900, 700);
  window.show();
  // Waits as the window's own event loop waits: a loop that polls would
  // take a core from the load it is waiting for.
  QEventLoop waiting;
  QObject::connect(&window, &app::MainWindow::loaded, &waiting, &QEventLoop::quit);
  QTimer::singleShot(300000, &waiting, &QEventLoop::quit);
  if (!loaded) waiting.exec();
  double filled = static_cast<double>(clock.elapsed()) / 1000;
  if (!loaded) return 1;

  // A tick each millisecond the loop is free; the longest time between
  // two ticks is the longest the window did not answer.
  qint64 last = clock.elapsed(), worst = 0;
  QTimer tick;
  tick.setInterval(1);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    qint64 now = clock.elapsed();
    worst = std::max(worst, now - last);
    last = now;
  });
  tick.start();
  QTableView& table = window.table();
  table.setFocus();
  auto serve = [&](int ms) {
    QElapsedTimer pause;
    pause.start();
    while (pause.elapsed() < ms) qt.processEvents(QEventLoop::AllEvents, 1);
  };
  serve(50);
  worst = 0;
  last = clock.elapsed();
  int rows = window.playlists().rowCount(), pages = 0;
  for (Qt::Key key : {Qt::Key_PageDown, Qt::Key_PageUp}) {
    for (int i = 0; i < 40; ++i, ++pages) {
      QTest::keyClick(&table, key);
      serve(20);
    }
  }
  printf("%.3f %lld %d %d\n", filled, static_cast<long long>(worst), rows, pages);
  return 0;
}
