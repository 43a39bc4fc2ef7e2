#include "drive/SgIoSmartLogReader.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "base/Format.h"
#include "drive/SysfsTree.h"

namespace drive {
namespace {

constexpr unsigned kTimeoutMs = 60000;

}  // namespace

std::array<uint8_t, 16> SgIoSmartLogReader::readLogCommand(uint8_t logAddress) {
  // ATA PASS-THROUGH (16): PIO data-in (protocol 4), 28-bit; data from
  // the device, length in sectors given in the sector count field.
  // Features D5h = SMART READ LOG, LBA mid/high 4Fh/C2h = the SMART
  // signature, LBA low = the log address, command B0h = SMART.
  return {0x85,       0x08, 0x0E, 0x00, 0xD5, 0x00, 0x01, 0x00,
          logAddress, 0x00, 0x4F, 0x00, 0xC2, 0x00, 0xB0, 0x00};
}

base::Status SgIoSmartLogReader::readLogAtAddress(const RegistryEntry& smartService,
                                                  uint8_t logAddress,
                                                  std::span<uint8_t, kPageSize> page) {
  std::string action;
  auto device = diskBelow(smartService, logAddress, &action);
  if (!device) return device.status();
  std::string node = (devRoot_ / *device).string();
  auto refused = [&](std::string_view reason) {
    return base::Status::failure(action, node, reason);
  };
  int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return base::Status::fromErrno(errno, action, node);

  std::array<uint8_t, 16> cdb = readLogCommand(logAddress);
  std::array<uint8_t, 32> sense{};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = static_cast<unsigned char>(cdb.size());
  io.cmdp = cdb.data();
  io.dxfer_len = static_cast<unsigned>(page.size());
  io.dxferp = page.data();
  io.mx_sb_len = static_cast<unsigned char>(sense.size());
  io.sbp = sense.data();
  io.timeout = kTimeoutMs;

  int rc = transport_ ? transport_(fd, &io) : ::ioctl(fd, SG_IO, &io);
  int error = errno;
  ::close(fd);
  if (rc < 0) return base::Status::fromErrno(error, action, node);
  // Anything but a clean completion (a CHECK CONDITION, a transport or
  // driver error) means the drive did not hand over the page.
  if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK || io.status != 0 || io.host_status != 0 ||
      io.driver_status != 0) {
    return refused(base::format("the command ended with status 0x%x, host 0x%x, driver 0x%x",
                                unsigned{io.status}, unsigned{io.host_status},
                                unsigned{io.driver_status}));
  }
  if (io.resid != 0) return refused(base::format("%d bytes of the page were missing", io.resid));
  return {};
}

}  // namespace drive
