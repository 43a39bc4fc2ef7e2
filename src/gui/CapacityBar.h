// The destination's capacity as one bar of four parts, left to right:
// what other files use, what this export's tracks already take there,
// what is still to copy, and what stays free after the export (with what
// its clean-up removes). When the
// copy does not fit, the part to copy is drawn red up to the end of the
// bar and the rest shown as missing.
//
// Thread: main thread only.
#pragma once

#include <QWidget>
#include <algorithm>
#include <cstdint>

namespace app {

struct CapacityParts {
  uint64_t capacity = 0;  // of the file system
  uint64_t free = 0;      // now
  uint64_t alreadyThere = 0;
  uint64_t toCopy = 0;       // the files' bytes
  uint64_t spaceNeeded = 0;  // what they take on the drive, in whole clusters
  // What the export's clean-up frees, in whole clusters: part of what
  // other files use now, free after the export.
  uint64_t freed = 0;
  // The destination is a folder on a disk, not a drive of its own: the
  // others' files are the whole disk's.
  bool folderOnDisk = false;

  uint64_t others() const {
    uint64_t used = capacity > free ? capacity - free : 0;
    return used > alreadyThere + freed ? used - alreadyThere - freed : 0;
  }
  uint64_t needed() const { return std::max(spaceNeeded, toCopy); }
  bool fits() const { return needed() <= free + freed; }
  uint64_t freeAfter() const { return fits() ? free + freed - needed() : 0; }
};

class CapacityBar : public QWidget {
  Q_OBJECT

 public:
  explicit CapacityBar(QWidget* parent = nullptr);

  void setParts(const CapacityParts& parts);
  const CapacityParts& parts() const { return parts_; }
  // The parts' words, as the tool tip says them; `coloured`: rich text
  // with each part's colour before it, for a legend.
  QString legend(bool coloured = false) const;

  QSize sizeHint() const override { return {400, 18}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  CapacityParts parts_;
};

}  // namespace app
