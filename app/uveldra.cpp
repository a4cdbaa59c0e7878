#include "app/uveldra.h"

#include "app/CommandLine.h"
#include "app/Launch.h"
#include "device/uftpdevice.h"
#include "drive/Dokan.h"
#include "drive/uveldra_drive.h"
#include "platform/Console.h"
#include "platform/Mount.h"
#include "platform/Semaphore.h"
#include "platform/SystemMessages.h"
#include "platform/Volume.h"

using veldra::platform::WriteLine;

namespace {

std::u16string MountPointText(char letter) {
  return std::u16string(1, char16_t(letter));
}

// Releases the start semaphore once, when a visible process has created it; a copy started
// by hand names none and signals nothing.
void SignalStarted(const std::string& name) {
  if (name.empty()) return;
  try {
    if (auto started = veldra::platform::TNamedSemaphore::Open(name)) started->Release();
  } catch (const std::exception&) {
    // A start report that cannot be given only makes the visible process wait longer.
  }
}

}  // namespace

int RunMount(const MountOptions& options) {
  if (options.DeviceName.empty()) return static_cast<int>(veldra::platform::kErrorInvalidDrive);
  OwnerUser = options.OwnerUser;
  DebugMode = options.DebugMode;
  if (CreateDevice(options) != 0) return -1;
  const int result = ServeDrive(options.DeviceName[0], options.StartSemaphore);
  FreeDevice();
  return result;
}

int CreateDevice(const MountOptions& options) {
  try {
    TDeviceSettings settings;
    const size_t slash = options.HostAndPath.find('/');
    settings.Host = options.HostAndPath.substr(0, slash);
    if (slash != std::string::npos) settings.RemotePath = options.HostAndPath.substr(slash + 1);
    settings.User = options.LoginUser;
    settings.Password = options.LoginPassword;
    settings.Passive = options.UsePassive;
    settings.Port = options.ServerPort;
    settings.Sessions = options.DebugMode ? 1 : options.Sessions;
    settings.CacheSeconds = options.CacheSeconds;
    settings.Tls = options.Tls;
    settings.CertificatePin = options.CertificatePin;
    settings.SpoolLimitBytes = static_cast<std::uint64_t>(options.SpoolMiB) << 20;
    FtpDevice = std::make_unique<TFTPDevice>(settings);
    return 0;
  } catch (const std::exception& e) {
    PrintMessage(e.what());
    return -1;
  }
}

int FreeDevice() {
  try {
    FtpDevice.reset();  // finishes open uploads, closes the sessions
    return 0;
  } catch (const std::exception& e) {
    PrintMessage(e.what());
    return -1;
  }
}

std::string DiskDriverMessage(int result) {
  switch (result) {
    case DOKAN_SUCCESS:
      return std::string();
    case DOKAN_ERROR:
      return "Disk driver: General Error";
    case DOKAN_DRIVE_LETTER_ERROR:
      return "Disk driver: Bad Drive letter";
    case DOKAN_DRIVER_INSTALL_ERROR:
      return "Disk driver: Can't install driver";
    case DOKAN_START_ERROR:
      return "Disk driver: Driver something wrong";
    case DOKAN_MOUNT_ERROR:
      return "Disk driver: Can't assign a drive letter";
    case DOKAN_MOUNT_POINT_ERROR:
      return "Disk driver: Mount point error";
    default:
      return "Disk driver: Unknown error: " + std::to_string(result);
  }
}

int ServeDrive(char letter, const std::string& startSemaphore) {
  const std::u16string mountPoint = MountPointText(letter);
  DOKAN_OPTIONS options{};
  options.Version = DOKAN_VERSION;
  options.ThreadCount = DebugMode ? 1 : 8;
  options.Options = DebugMode ? (DOKAN_OPTION_DEBUG | DOKAN_OPTION_STDERR) : 0;
  options.GlobalContext = 0;
  options.MountPoint = mountPoint.c_str();
  DOKAN_OPERATIONS operations{};
  FillOperations(&operations);
  // What a POSIX file system asks beyond the table (modes); the Windows library ignores it.
  static VELDRA_EXTENSIONS extensions;
  FillExtensions(&extensions);
  options.GlobalContext = reinterpret_cast<ULONG64>(&extensions);

  SignalStarted(startSemaphore);
  const int result = DokanMain(&options, &operations);
  if (result != DOKAN_SUCCESS) WriteLine(DiskDriverMessage(result));
  return result;
}

bool ClearDeadDrive(char letter) {
  veldra::platform::TVolumeInfo volume;
  return veldra::platform::QueryVolumeInformation(letter, &volume, nullptr) &&
         volume.FileSystemName.compare(0, 6, "VELDRA") == 0 &&
         veldra::platform::IsDriveDisconnected(letter) && veldra::platform::DetachDrive(letter);
}

bool IsAlreadyMounted(const std::string& deviceName, const std::string& hostAndPath) {
  if (deviceName.empty()) return false;
  veldra::platform::TVolumeInfo volume;
  if (!veldra::platform::QueryVolumeInformation(deviceName[0], &volume, nullptr)) return false;
  return volume.VolumeName == "ftp://" + hostAndPath;
}

bool IsDriveInUse(char letter) {
  return veldra::platform::QueryVolumeInformation(letter, nullptr, nullptr);
}

int UnmountDrive(char letter) {
  veldra::platform::TVolumeInfo volume;
  uint32_t error = 0;
  if (!veldra::platform::QueryVolumeInformation(letter, &volume, &error)) {
    WriteLine(veldra::platform::SystemErrorMessage(error));
    return -1;
  }
  if (volume.FileSystemName.compare(0, 6, "VELDRA") != 0) {
    WriteLine(veldra::platform::SystemErrorMessage(veldra::platform::kErrorNotSubsted));
    return -1;
  }
  if (ClearDeadDrive(letter) || RemoveMountPoint(letter)) return 0;
  WriteLine("The network connection could not be found.");
  return -1;
}

bool RemoveMountPoint(char letter) {
  const std::u16string mountPoint = MountPointText(letter);
  return DokanRemoveMountPoint(mountPoint.c_str()) != 0;
}
