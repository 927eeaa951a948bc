// Test helper for the Windows build: starts a program on a new console of its
// own, as Explorer does for a double-click, and reads that console from outside.
// Built as new_console.exe, with a copy named explorer.exe, the name of the
// Windows shell.
//
//   new_console PROGRAM [ARGUMENT]...
//
// The console's window is hidden, as the one of a console that Windows Terminal
// hosts is. While the program runs, the helper looks at its console every 50 ms,
// attached to it only while the program's first thread is suspended, so that
// the program never sees a second process on its console. Once the console
// shows "press a key to close this window", it presses Enter there.
//
// Writes on standard output the console's text, the last seen or the one with
// that line, each line's trailing spaces cut, and no empty line at the end.
// Exits with 0 when the program waited and the key ended it, 1 when it ended
// without waiting, 2 when it cannot be started, 3 when it, or the helper's look
// at its console, has not ended after a minute (then both are ended).
#include <windows.h>

#include <string>

namespace {

constexpr wchar_t kKeyLine[] = L"press a key to close this window";

// The console's text down to the cursor's line; empty when it cannot be read.
std::wstring ScreenText() {
  const HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    0, nullptr);
  std::wstring text;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (screen == INVALID_HANDLE_VALUE) return text;
  if (GetConsoleScreenBufferInfo(screen, &info)) {
    const DWORD width = static_cast<DWORD>(info.dwSize.X);
    std::wstring row(width, L' ');
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
      DWORD read = 0;
      if (!ReadConsoleOutputCharacterW(screen, row.data(), width, COORD{0, y}, &read)) {
        break;
      }
      const std::size_t end = read == 0 ? std::wstring::npos : row.find_last_not_of(L' ', read - 1);
      text.append(row, 0, end == std::wstring::npos ? 0 : end + 1);
      text += L'\n';
    }
  }
  CloseHandle(screen);
  return text;
}

void PressEnter() {
  const HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return;
  INPUT_RECORD keys[2] = {};
  for (INPUT_RECORD& key : keys) {
    key.EventType = KEY_EVENT;
    key.Event.KeyEvent.wRepeatCount = 1;
    key.Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
    key.Event.KeyEvent.uChar.UnicodeChar = L'\r';
  }
  keys[0].Event.KeyEvent.bKeyDown = TRUE;
  DWORD written = 0;
  WriteConsoleInputW(input, keys, 2, &written);
  CloseHandle(input);
}

// The command line after the helper's own name.
std::wstring ProgramCommandLine() {
  const wchar_t* line = GetCommandLineW();
  const bool quoted = *line == L'"';
  if (quoted) ++line;
  while (*line != L'\0' && (quoted ? *line != L'"' : *line != L' ' && *line != L'\t')) ++line;
  if (quoted && *line == L'"') ++line;
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

// Ends `process` and the helper after a minute, whatever the helper waits for.
DWORD WINAPI EndAfterAMinute(void* process) {
  Sleep(60000);
  TerminateProcess(static_cast<HANDLE>(process), 1);
  ExitProcess(3);
}

}  // namespace

int main() {
  // Attaching to another console turns the standard handles into that console's.
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  std::wstring command = ProgramCommandLine();
  if (command.empty()) return 2;
  FreeConsole();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USECOUNTCHARS;
  startup.wShowWindow = SW_HIDE;
  // Wide enough that no line of the test is wrapped.
  startup.dwXCountChars = 400;
  startup.dwYCountChars = 200;
  PROCESS_INFORMATION program;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                      nullptr, nullptr, &startup, &program)) {
    return 2;
  }
  CreateThread(nullptr, 0, EndAfterAMinute, program.hProcess, 0, nullptr);
  int status = 2;
  std::wstring text;
  for (;;) {
    if (WaitForSingleObject(program.hProcess, 50) == WAIT_OBJECT_0) {
      status = 1;
      break;
    }
    // Once SuspendThread has returned, GetThreadContext waits until the thread
    // has stopped.
    if (SuspendThread(program.hThread) == static_cast<DWORD>(-1)) break;
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(program.hThread, &context);
    bool waiting = false;
    if (AttachConsole(program.dwProcessId)) {
      const std::wstring seen = ScreenText();
      if (!seen.empty()) text = seen;
      waiting = text.find(kKeyLine) != std::wstring::npos;
      if (waiting) PressEnter();
      FreeConsole();
    }
    ResumeThread(program.hThread);
    if (waiting) {
      WaitForSingleObject(program.hProcess, INFINITE);
      status = 0;
      break;
    }
  }
  if (status == 2) TerminateProcess(program.hProcess, 1);
  while (text.ends_with(L"\n\n")) text.pop_back();
  std::string bytes(static_cast<std::size_t>(WideCharToMultiByte(
                        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                        nullptr, nullptr)),
                    '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                      static_cast<int>(bytes.size()), nullptr, nullptr);
  DWORD written = 0;
  WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return status;
}
