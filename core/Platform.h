// The Linux platform layer: disk numbering, device opening, the data
// directory and the diagnostic channel. Everything OS-specific lives here.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Device path of disk number N. With FOTORETTA_DISK_DIR set, disk N is the
// file "disk<N>" in that directory; otherwise the whole-disk block devices
// of /sys/block, sorted by name. Numbers from FR_FIRST_IMAGE_DISK up are
// image files registered at run time. Empty when there is no such disk.
std::string GetDiskDevicePath(int nDiskNumber);

// Disk numbers that the partition enumerator tries.
constexpr int FR_MAX_ENUM_DISKS = 128;
constexpr int FR_FIRST_IMAGE_DISK = 1000;

// Registers an image file as a disk of its own; returns its disk number
// (the same number when the path is registered already).
int RegisterImageDisk(const std::string& strPath);
std::vector<int> GetRegisteredImageDisks();
void ClearRegisteredImageDisks();

// Whole-disk block devices found under /sys/block (names only, sorted).
std::vector<std::string> ListBlockDevices();

// Opens a device node or image file read-only: every open of a source goes
// through here. Only regular files and block devices are accepted (EISDIR
// for a folder, ENOTBLK for a FIFO, socket or character device); the open
// never blocks. When a privileged opener is installed (the desktop app's
// helper), block devices the caller cannot open itself are asked of it.
// Returns a descriptor or -1 with errno set.
int OpenDeviceReadOnly(const char* szPath);
using DeviceOpener = std::function<int(const char* szPath)>;
void SetPrivilegedDeviceOpener(DeviceOpener opener);

// The data directory ("/var/lib/fotoretta" for root, else the XDG data
// directory of the user, FOTORETTA_DATA_DIR when set) and "ScanLog/" below
// it. Both end in '/', and are created with mode 0700 on first use.
const std::string& GetDataDir();
// Where the data directory is, without creating it (to check a place
// before anything is written there).
std::string DataDirLocation();
const std::string& GetScanLogDir();
// 0 when the scan-log directory exists as a folder that files can be
// created in (tried, not guessed from permission bits), else the errno.
int CheckScanLogDir();
// Forget the resolved directories (tests that change the environment).
void ResetDataDirCache();

// True when writing below strPath could write onto sectors
// [u64StartSector, + u64SectorCount) of strDevice (512-byte sectors; a
// count of 0 means the whole device): the file system there lives on that
// device, on the disk it belongs to, or on a partition of it that meets
// the range. For an image file: a file system mounted from it (see
// DestinationOnSource).
bool IsPathOnDevice(const std::string& strPath, const std::string& strDevice, unsigned long long u64StartSector = 0,
                    unsigned long long u64SectorCount = 0);

// True when files written below strDestDir would change the data of the
// source (a device or image file): the destination lies on that device or
// one of its partitions, on a file system mounted from the image (FUSE or a
// loop device backed by it, also through device-mapper), or on a loop
// device whose backing file lives on the source device. strDestDir need not
// exist yet: its nearest existing ancestor decides.
bool DestinationOnSource(const std::string& strDestDir, const std::string& strSourcePath);

// Creates every missing directory of a path with the given mode.
int MakeDirs(const std::string& strPath, unsigned mode);

// The one diagnostic channel of the engine library (QtCore's debug
// channel). printf-style; texts are fixed English phrases ending in "\n".
void FrLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
