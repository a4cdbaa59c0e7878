// A stand-in dokan.dll for tests. veldra.exe loads it as it would load the real library and
// hands its DokanMain the options and the callback table; this one plays the file system: it
// calls the callbacks in the Windows calling convention as the library would (volume
// information, open, list, read, write, rename, delete), checks every answer, prints one line
// per check and returns 0 when all passed (DOKAN_ERROR otherwise), as an unmount would.
//
// The server root must hold hello.txt ("hello world\n") and gone.txt; the drive letter is T.
#include <string>

#include "drive/Dokan.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/TextConv.h"

namespace {

int failures = 0, checks = 0;
std::string listed;  // what FindFiles gave, each name as /name/

void Check(bool ok, const std::string& what) {
  ++checks;
  failures += ok ? 0 : 1;
  veldra::platform::WriteLine(std::string("dokan.dll: ") + what + (ok ? " ok" : " FAILED"));
}

int Fill(WIN32_FIND_DATAW* data, DOKAN_FILE_INFO*) {
  listed +=
      "/" + veldra::platform::WideToAnsi(reinterpret_cast<const char16_t*>(data->cFileName)) + "/";
  return 0;
}

}  // namespace

// Exported as DokanMain and DokanRemoveMountPoint (dokan.def), in the Windows calling convention.
extern "C" int __stdcall TestDokanMain(DOKAN_OPTIONS* options, DOKAN_OPERATIONS* ops) {
  Check(options->Version == 600 && options->MountPoint[0] == u'T' && options->MountPoint[1] == 0 &&
            (options->ThreadCount == 1 || options->ThreadCount == 8) && ops->CreateFile &&
            ops->OpenDirectory && ops->ReadFile && ops->WriteFile && ops->FindFiles &&
            ops->MoveFile && ops->DeleteFile && ops->GetVolumeInformation && ops->Unmount &&
            !ops->FindFilesWithPattern && !ops->GetFileSecurity,
        "options (version 600, mount point T, threads) and callback slots");
  DOKAN_FILE_INFO info{};
  info.DokanOptions = options;
  info.ProcessId = veldra::platform::CurrentProcessId();

  WCHAR volume[261] = {}, fileSystem[261] = {};
  DWORD serial = 0, longest = 0, flags = 0;
  int rc =
      ops->GetVolumeInformation(volume, 261, &serial, &longest, &flags, fileSystem, 261, &info);
  Check(rc == 0 && veldra::platform::WideToAnsi(fileSystem) == "VELDRA" &&
            veldra::platform::WideToAnsi(volume).rfind("ftp://127.0.0.1", 0) == 0 && longest == 255,
        "volume information");

  // Opens by disposition; ends a handle as the library does (Cleanup, then CloseFile); reads
  // with one call (a failure reads as "<error>").
  const auto open = [&](LPCWSTR name, DWORD access, DWORD disposition) {
    return ops->CreateFile(name, access, 3, disposition, 0, &info);
  };
  const auto close = [&](LPCWSTR name) {
    return ops->Cleanup(name, &info) == 0 && ops->CloseFile(name, &info) == 0;
  };
  const auto read = [&](LPCWSTR name, size_t offset, DWORD size) {
    std::string buffer(size, '\0');
    DWORD got = 0;
    rc = ops->ReadFile(name, &buffer[0], size, &got, LONGLONG(offset), &info);
    return rc == 0 ? buffer.substr(0, got) : "<error>";
  };
  const DWORD kRead = 0x80000000, kWrite = 0x40000000;
  BY_HANDLE_FILE_INFORMATION record{};
  Check(open(u"\\hello.txt", kRead, OPEN_EXISTING) == 0 && !info.IsDirectory &&
            ops->GetFileInformation(u"\\hello.txt", &record, &info) == 0 &&
            record.nFileSizeLow == 12 && !(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            read(u"\\hello.txt", 0, 256) == "hello world\n",
        "open, file information, read at 0");

  Check(ops->OpenDirectory(u"\\", &info) == 0 && info.IsDirectory &&
            ops->FindFiles(u"\\", &Fill, &info) == 0 && listed.rfind("/./", 0) == 0 &&
            listed.find("/hello.txt/") != std::string::npos &&
            listed.find("/gone.txt/") != std::string::npos,
        "open and list the root");
  info.IsDirectory = 0;

  const std::string text = "written through the table";
  DWORD written = 0;
  Check(
      open(u"\\new.txt", kWrite, CREATE_NEW) == 0 &&
          ops->WriteFile(u"\\new.txt", text.data(), DWORD(text.size()), &written, 0, &info) == 0 &&
          written == text.size() && ops->FlushFileBuffers(u"\\new.txt", &info) == 0 &&
          close(u"\\new.txt"),
      "create, write, flush, close");
  Check(ops->MoveFile(u"\\new.txt", u"\\moved.txt", 0, &info) == 0 &&
            ops->MoveFile(u"\\moved.txt", u"\\hello.txt", 0, &info) == -ERROR_ALREADY_EXISTS &&
            open(u"\\moved.txt", kRead, OPEN_EXISTING) == 0 && read(u"\\moved.txt", 0, 256) == text,
        "rename, not onto an existing name, read the renamed file");

  // Several MiB each way, so transfers span many socket reads and writes.
  std::string big(3 << 20, '\0'), back;
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  rc = open(u"\\big.bin", kWrite, CREATE_NEW);
  for (size_t at = 0; rc == 0 && at < big.size(); at += 65536)
    rc = ops->WriteFile(u"\\big.bin", big.data() + at, 65536, &written, LONGLONG(at), &info);
  Check(rc == 0 && close(u"\\big.bin"), "write 3 MiB");
  for (int i = 0; i < 48 && back.size() < big.size(); ++i)
    back += read(u"\\big.bin", back.size(), 65536);
  Check(back == big && read(u"\\big.bin", 1000003, 256) == big.substr(1000003, 256),
        "read 3 MiB back in order, then at an offset");
  Check(ops->DeleteFile(u"\\big.bin", &info) == 0 && ops->DeleteFile(u"\\gone.txt", &info) == 0 &&
            open(u"\\gone.txt", kRead, OPEN_EXISTING) == -ERROR_FILE_NOT_FOUND,
        "delete files");
  // A directory is opened only as what it is, never replaced by a file; a delete-on-close open
  // is refused; an unknown disposition creates nothing; a pattern lists its directory.
  const DWORD rw = kRead | kWrite;
  listed.clear();
  Check(ops->CreateDirectory(u"\\made", &info) == 0 && open(u"\\made", rw, CREATE_NEW) == -1 &&
            open(u"\\made", rw, OPEN_ALWAYS) == -1 && open(u"\\made", rw, CREATE_ALWAYS) == -1 &&
            open(u"\\zz", rw, 6) == 0 &&
            ops->CreateFile(u"\\zz", rw, 3, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, &info) == -1 &&
            open(u"\\zz", rw, OPEN_EXISTING) == -ERROR_FILE_NOT_FOUND &&
            ops->FindFiles(u"\\made\\*", &Fill, &info) == 0 && listed == "/.//../",
        "create directory, dispositions, pattern");
  // A volume name that does not fit is left empty; a request without its record is refused
  // (by the owner check first when the drive is one user's).
  const int unknown =
      ops->GetVolumeInformation(volume, 64, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
  Check(ops->GetVolumeInformation(volume, 5, nullptr, nullptr, nullptr, nullptr, 0, &info) == 0 &&
            volume[0] == 0 && (unknown == -ERROR_GEN_FAILURE || unknown == -ERROR_ACCESS_DENIED),
        "volume name too long, no request record");
  Check(ops->DeleteDirectory(u"\\made", &info) == 0 && ops->Unmount(&info) == 0,
        "delete directory, unmount");
  veldra::platform::WriteLine("dokan.dll: " + std::to_string(checks - failures) + " of " +
                              std::to_string(checks) + " checks passed");
  return failures == 0 ? DOKAN_SUCCESS : DOKAN_ERROR;
}

extern "C" BOOL __stdcall TestDokanRemoveMountPoint(LPCWSTR mountPoint) {
  return mountPoint != nullptr && mountPoint[0] != 0;
}
