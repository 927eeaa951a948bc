// Test helper for the Windows build: holds a file or folder open without sharing,
// as another program might, so that nobody else can open it meanwhile.
//
//   hold_open FILE SIGNAL
//
// Opens FILE (read access, no sharing), then creates the file SIGNAL.held and
// keeps FILE open until the file SIGNAL.release appears (or a minute has passed),
// then closes it and creates SIGNAL.done. Exits with 1 when FILE cannot be opened.
#include <windows.h>

#include <string>

namespace {

bool CreateEmptyFile(const std::string& path) {
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string signal = argv[2];
  const HANDLE held = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  if (!CreateEmptyFile(signal + ".held")) return 1;
  const std::string release = signal + ".release";
  for (int waited = 0; waited < 60000; waited += 20) {
    if (GetFileAttributesA(release.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(20);
  }
  CloseHandle(held);
  return CreateEmptyFile(signal + ".done") ? 0 : 1;
}
