// veldra: mounts a directory of an FTP server as a local drive (see docs/app.md).
#include "app/FrontEnd.h"

int main(int argc, char** argv) {
  return VeldraMain(argc, argv);
}
