// A stand-in dokan.dll for tests. veldra.exe loads it as it would load the real library and
// hands its DokanMain the options and the callback table; this one plays the file system: it
// calls the callbacks in the Windows calling convention as the library would (volume
// information, open, list, read, write, rename, delete), checks every answer, prints one line
// per check and returns 0 when all passed (DOKAN_ERROR otherwise), as an unmount would.
//
// The server root must hold hello.txt ("hello world\n") and gone.txt; the drive letter is T.
#include <string>
#include <vector>

#include "drive/Dokan.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/TextConv.h"

namespace {

constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;

int failures = 0;
int checks = 0;
std::vector<std::string> listed;

void Check(bool ok, const std::string& what) {
  ++checks;
  if (!ok) ++failures;
  veldra::platform::WriteLine(std::string("dokan.dll: ") + what + (ok ? " ok" : " FAILED"));
}

int Fill(WIN32_FIND_DATAW* data, DOKAN_FILE_INFO*) {
  listed.push_back(
      veldra::platform::WideToAnsi(reinterpret_cast<const char16_t*>(data->cFileName)));
  return 0;
}

std::string ReadAll(DOKAN_OPERATIONS* ops, LPCWSTR name, LONGLONG offset, DOKAN_FILE_INFO* info,
                    int* rc) {
  char buffer[256] = {};
  DWORD read = 0;
  *rc = ops->ReadFile(name, buffer, sizeof buffer, &read, offset, info);
  return std::string(buffer, read);
}

void RunChecks(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* ops) {
  Check(options->Version == 600, "options version 600");
  Check(options->MountPoint != nullptr && options->MountPoint[0] == u'T' &&
            options->MountPoint[1] == 0,
        "mount point T");
  Check(options->ThreadCount == 1 || options->ThreadCount == 8, "thread count");
  Check(ops->CreateFile && ops->OpenDirectory && ops->ReadFile && ops->WriteFile &&
            ops->FindFiles && ops->MoveFile && ops->DeleteFile && ops->GetVolumeInformation &&
            ops->Unmount && !ops->FindFilesWithPattern && !ops->GetFileSecurity,
        "callback slots");

  DOKAN_FILE_INFO info{};
  info.DokanOptions = options;
  info.ProcessId = veldra::platform::CurrentProcessId();

  WCHAR volume[261] = {};
  WCHAR fileSystem[261] = {};
  DWORD serial = 0, longest = 0, flags = 0;
  int rc =
      ops->GetVolumeInformation(volume, 261, &serial, &longest, &flags, fileSystem, 261, &info);
  Check(rc == 0 && veldra::platform::WideToAnsi(fileSystem) == "VELDRA" &&
            veldra::platform::WideToAnsi(volume).rfind("ftp://127.0.0.1", 0) == 0 && longest == 255,
        "volume information");

  rc = ops->CreateFile(u"\\hello.txt", kGenericRead, 3, OPEN_EXISTING, 0, &info);
  Check(rc == 0 && !info.IsDirectory, "open existing file");
  BY_HANDLE_FILE_INFORMATION record{};
  rc = ops->GetFileInformation(u"\\hello.txt", &record, &info);
  Check(rc == 0 && record.nFileSizeLow == 12 &&
            (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0,
        "file information");
  Check(ReadAll(ops, u"\\hello.txt", 0, &info, &rc) == "hello world\n" && rc == 0, "read at 0");
  Check(ReadAll(ops, u"\\hello.txt", 6, &info, &rc) == "world\n" && rc == 0, "read at 6");
  Check(ops->Cleanup(u"\\hello.txt", &info) == 0 && ops->CloseFile(u"\\hello.txt", &info) == 0,
        "close file");
  Check(ops->CreateFile(u"\\missing.txt", kGenericRead, 3, OPEN_EXISTING, 0, &info) ==
            -ERROR_FILE_NOT_FOUND,
        "open missing file");

  info.IsDirectory = 0;
  rc = ops->OpenDirectory(u"\\", &info);
  Check(rc == 0 && info.IsDirectory, "open root directory");
  listed.clear();
  rc = ops->FindFiles(u"\\", &Fill, &info);
  bool hello = false, gone = false;
  for (const std::string& n : listed) {
    hello = hello || n == "hello.txt";
    gone = gone || n == "gone.txt";
  }
  Check(rc == 0 && !listed.empty() && listed[0] == "." && hello && gone, "list root");
  info.IsDirectory = 0;

  const std::string text = "written through the table";
  rc = ops->CreateFile(u"\\new.txt", kGenericWrite, 0, CREATE_NEW, 0, &info);
  Check(rc == 0, "create new file");
  DWORD written = 0;
  rc = ops->WriteFile(u"\\new.txt", text.data(), static_cast<DWORD>(text.size()), &written, 0,
                      &info);
  Check(rc == 0 && written == text.size(), "write at 0");
  Check(ops->FlushFileBuffers(u"\\new.txt", &info) == 0, "flush");
  Check(ops->Cleanup(u"\\new.txt", &info) == 0 && ops->CloseFile(u"\\new.txt", &info) == 0,
        "close written file");
  Check(ops->CreateFile(u"\\new.txt", kGenericWrite, 0, CREATE_NEW, 0, &info) ==
            -ERROR_ALREADY_EXISTS,
        "create existing file");
  Check(ops->MoveFile(u"\\new.txt", u"\\moved.txt", 0, &info) == 0, "rename");
  Check(ops->MoveFile(u"\\moved.txt", u"\\hello.txt", 0, &info) == -ERROR_ALREADY_EXISTS,
        "rename onto existing name");
  rc = ops->CreateFile(u"\\moved.txt", kGenericRead, 3, OPEN_EXISTING, 0, &info);
  Check(rc == 0 && ReadAll(ops, u"\\moved.txt", 0, &info, &rc) == text && rc == 0,
        "read renamed file");

  // Several MiB each way, so transfers span many socket reads and writes.
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  rc = ops->CreateFile(u"\\big.bin", kGenericWrite, 0, CREATE_NEW, 0, &info);
  for (size_t at = 0; rc == 0 && at < big.size(); at += 65536)
    rc = ops->WriteFile(u"\\big.bin", big.data() + at, 65536, &written, at, &info);
  Check(rc == 0 && ops->Cleanup(u"\\big.bin", &info) == 0, "write 3 MiB");
  std::string back;
  std::vector<char> block(65536);
  DWORD got = 0;
  for (LONGLONG at = 0; ops->ReadFile(u"\\big.bin", block.data(), 65536, &got, at, &info) == 0 &&
                        got > 0 && at < LONGLONG(big.size());
       at += got)
    back.append(block.data(), got);
  Check(back == big, "read 3 MiB back in order");
  Check(ReadAll(ops, u"\\big.bin", 1000003, &info, &rc) == big.substr(1000003, 256) && rc == 0,
        "read 3 MiB file at an offset");
  Check(ops->DeleteFile(u"\\big.bin", &info) == 0, "delete 3 MiB file");

  Check(ops->DeleteFile(u"\\gone.txt", &info) == 0, "delete file");
  Check(ops->CreateFile(u"\\gone.txt", kGenericRead, 3, OPEN_EXISTING, 0, &info) ==
            -ERROR_FILE_NOT_FOUND,
        "deleted file is gone");
  Check(ops->CreateDirectory(u"\\made", &info) == 0, "create directory");
  Check(ops->DeleteDirectory(u"\\made", &info) == 0, "delete directory");
  Check(ops->Unmount(&info) == 0, "unmount");
}

}  // namespace

// Exported as DokanMain and DokanRemoveMountPoint (dokan.def), in the Windows calling convention.
extern "C" int __stdcall TestDokanMain(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* operations) {
  failures = 0;
  checks = 0;
  if (options == nullptr || operations == nullptr) return DOKAN_ERROR;
  RunChecks(options, operations);
  veldra::platform::WriteLine("dokan.dll: " + std::to_string(checks - failures) + " of " +
                              std::to_string(checks) + " checks passed");
  return failures == 0 ? DOKAN_SUCCESS : DOKAN_ERROR;
}

extern "C" BOOL __stdcall TestDokanRemoveMountPoint(LPCWSTR mountPoint) {
  return mountPoint != nullptr && mountPoint[0] != 0;
}
