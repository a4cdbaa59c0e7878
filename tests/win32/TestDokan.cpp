// A stand-in dokan.dll for tests. veldra.exe loads it as it would load the real library and
// hands its DokanMain the options and the callback table; this one plays the file system: it
// calls the callbacks in the Windows calling convention as the library would (volume
// information, open, list, read, write, rename, delete), checks every answer, prints one line
// per check and returns 0 when all passed (DOKAN_ERROR otherwise), as an unmount would.
//
// The server root must hold hello.txt ("hello world\n") and gone.txt; the drive letter is T.
#include <algorithm>
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

  // Opens by disposition; ends a handle as the library does (Cleanup, then CloseFile).
  const auto open = [&](LPCWSTR name, DWORD access, DWORD disposition) {
    return ops->CreateFile(name, access, 3, disposition, 0, &info);
  };
  const auto close = [&](LPCWSTR name) {
    return ops->Cleanup(name, &info) == 0 && ops->CloseFile(name, &info) == 0;
  };
  Check(open(u"\\hello.txt", kGenericRead, OPEN_EXISTING) == 0 && !info.IsDirectory, "open file");
  BY_HANDLE_FILE_INFORMATION record{};
  rc = ops->GetFileInformation(u"\\hello.txt", &record, &info);
  Check(
      rc == 0 && record.nFileSizeLow == 12 && !(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY),
      "file information");
  Check(ReadAll(ops, u"\\hello.txt", 0, &info, &rc) == "hello world\n" && rc == 0, "read at 0");
  Check(open(u"\\missing.txt", kGenericRead, OPEN_EXISTING) == -ERROR_FILE_NOT_FOUND,
        "missing file");

  info.IsDirectory = 0;
  Check(ops->OpenDirectory(u"\\", &info) == 0 && info.IsDirectory, "open root directory");
  listed.clear();
  rc = ops->FindFiles(u"\\", &Fill, &info);
  const auto has = [](const char* name) {
    return std::find(listed.begin(), listed.end(), name) != listed.end();
  };
  Check(rc == 0 && !listed.empty() && listed[0] == "." && has("hello.txt") && has("gone.txt"),
        "list root");
  info.IsDirectory = 0;

  const std::string text = "written through the table";
  Check(open(u"\\new.txt", kGenericWrite, CREATE_NEW) == 0, "create new file");
  DWORD written = 0;
  rc = ops->WriteFile(u"\\new.txt", text.data(), DWORD(text.size()), &written, 0, &info);
  Check(rc == 0 && written == text.size(), "write at 0");
  Check(ops->FlushFileBuffers(u"\\new.txt", &info) == 0, "flush");
  Check(close(u"\\new.txt"), "close written file");
  Check(open(u"\\new.txt", kGenericWrite, CREATE_NEW) == -ERROR_ALREADY_EXISTS, "create existing");
  Check(ops->MoveFile(u"\\new.txt", u"\\moved.txt", 0, &info) == 0, "rename");
  Check(ops->MoveFile(u"\\moved.txt", u"\\hello.txt", 0, &info) == -ERROR_ALREADY_EXISTS,
        "rename onto existing name");
  Check(open(u"\\moved.txt", kGenericRead, OPEN_EXISTING) == 0 &&
            ReadAll(ops, u"\\moved.txt", 0, &info, &rc) == text && rc == 0,
        "read renamed file");

  // Several MiB each way, so transfers span many socket reads and writes.
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  rc = open(u"\\big.bin", kGenericWrite, CREATE_NEW);
  for (size_t at = 0; rc == 0 && at < big.size(); at += 65536)
    rc = ops->WriteFile(u"\\big.bin", big.data() + at, 65536, &written, at, &info);
  Check(rc == 0 && close(u"\\big.bin"), "write 3 MiB");
  std::string back;
  std::vector<char> block(65536);
  DWORD got = 0;
  for (LONGLONG at = 0; ops->ReadFile(u"\\big.bin", block.data(), 65536, &got, at, &info) == 0 &&
                        got > 0 && at < LONGLONG(big.size());
       at += got)
    back.append(block.data(), got);
  Check(back == big, "read 3 MiB back in order");
  Check(ReadAll(ops, u"\\big.bin", 1000003, &info, &rc) == big.substr(1000003, 256) && rc == 0,
        "read 3 MiB at an offset");
  Check(ops->DeleteFile(u"\\big.bin", &info) == 0, "delete 3 MiB file");

  Check(ops->DeleteFile(u"\\gone.txt", &info) == 0, "delete file");
  Check(open(u"\\gone.txt", kGenericRead, OPEN_EXISTING) == -ERROR_FILE_NOT_FOUND, "file gone");
  Check(ops->CreateDirectory(u"\\made", &info) == 0, "create directory");
  // A directory is opened only as what it is, never replaced by a file; a delete-on-close open
  // is refused; an unknown disposition creates nothing; a pattern lists its directory.
  const DWORD rw = kGenericRead | kGenericWrite;
  Check(open(u"\\made", rw, CREATE_NEW) == -1 && open(u"\\made", rw, OPEN_ALWAYS) == -1 &&
            open(u"\\made", rw, CREATE_ALWAYS) == -1 && open(u"\\zz", rw, 6) == 0 &&
            ops->CreateFile(u"\\zz", rw, 3, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, &info) == -1 &&
            open(u"\\zz", rw, OPEN_EXISTING) == -ERROR_FILE_NOT_FOUND,
        "dispositions");
  listed.clear();
  Check(ops->FindFiles(u"\\made\\*", &Fill, &info) == 0 && listed.size() == 2, "pattern");
  // A volume name that does not fit is left empty; a request without its record is refused
  // (by the owner check first when the drive is one user's).
  rc = ops->GetVolumeInformation(volume, 5, nullptr, nullptr, nullptr, nullptr, 0, &info);
  const int unknown =
      ops->GetVolumeInformation(volume, 64, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
  Check(rc == 0 && volume[0] == 0 &&
            (unknown == -ERROR_GEN_FAILURE || unknown == -ERROR_ACCESS_DENIED),
        "volume name too long, no request record");
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
