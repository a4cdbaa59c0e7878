#include "drive/uveldra_drive.h"

#include "device/uftpdevice.h"

std::unique_ptr<TFTPDevice> FtpDevice;
std::mutex DeviceLock;
std::atomic<DWORD> OwnerProcessId{0};

void FillOperations(DOKAN_OPERATIONS* operations) {
  *operations = DOKAN_OPERATIONS{};
}
