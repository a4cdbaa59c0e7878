// The mount host: turns a mount's settings into a served drive, unmounts, and checks a drive
// letter before a mount. Every routine prints its own messages (one line each, standard output)
// and returns the exit code; none throws.
#pragma once

#include <cstdint>
#include <string>

struct MountOptions;

// Mounts and serves the drive until it is unmounted, in the calling thread. Sets the
// process-wide DebugMode and OwnerUser, creates the device (connect, login), then ServeDrive and
// FreeDevice. Returns 15 at once for an empty device name, -1 when the device cannot be created
// (its message printed, nothing signalled, nothing mounted), else ServeDrive's result.
int RunMount(const MountOptions& options);

// Constructs the process-wide device (connects and logs in) from the settings of options:
// HostAndPath is split at its first "/" into host and remote path, /DEBUG serves with one
// session, SpoolMiB becomes bytes. 0, or -1 after printing the error's message.
int CreateDevice(const MountOptions& options);

// Destroys the device, which closes its FTP session. 0, or -1 after printing the error.
int FreeDevice();

// Releases the start semaphore startSemaphore (when it names one and a visible process still
// waits on it) and serves drive letter through the drive callbacks until unmounted: 0, or the
// library's negative mount failure, printed as DiskDriverMessage.
int ServeDrive(char letter, const std::string& startSemaphore);

// The "Disk driver: ..." line for a library result; "" for 0.
std::string DiskDriverMessage(int result);

// A drive of this program whose serving process has died ("Transport endpoint is not
// connected") is unmounted and its directory removed when a mount made it. True when there was
// such a drive (and it is gone now).
bool ClearDeadDrive(char letter);

// True when the drive of deviceName's first character shows the volume name "ftp://" +
// hostAndPath exactly (letter case included). False when the drive has no volume.
bool IsAlreadyMounted(const std::string& deviceName, const std::string& hostAndPath);

// True when the drive letter already names a volume of any kind.
bool IsDriveInUse(char letter);

// The unmount command: 0 when the drive (a volume of this program, a dead one included) was
// unmounted; -1 after
// printing why not (no volume: the query's system message; another file system: the message
// for 137; refused: "The network connection could not be found."). Other file systems are
// never touched.
int UnmountDrive(char letter);

// Asks the drive library to unmount letter; true on success.
bool RemoveMountPoint(char letter);
