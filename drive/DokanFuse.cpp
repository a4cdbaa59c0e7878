// The file-system library interface served by libfuse3.
#include "drive/Dokan.h"

int DokanMain(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* operations) {
  if (options == nullptr || operations == nullptr) return DOKAN_ERROR;
  return DOKAN_START_ERROR;
}

BOOL DokanRemoveMountPoint(LPCWSTR mountPoint) {
  return mountPoint != nullptr && false;
}
