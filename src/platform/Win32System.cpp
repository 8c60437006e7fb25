#include "platform/Win32System.h"

#include <windows.h>

namespace quorvan {

bool Win32WindowDirectory::findWindow(const std::string& className, const std::string& caption) {
  return ::FindWindowA(className.c_str(), caption.c_str()) != nullptr;
}

void Win32Alerts::messageBox(const std::string& text, int buttons, const std::string& title) {
  ::OutputDebugStringA(("[" + title + "] " + text + "\n").c_str());
  if (showBoxes_ && showBoxes_()) {
    ::MessageBoxA(nullptr, text.c_str(), title.c_str(), static_cast<UINT>(buttons));
  }
}

void Win32ProcessControl::setPriorityClass(int priorityClass) {
  (void)::SetPriorityClass(::GetCurrentProcess(), static_cast<DWORD>(priorityClass));
}

void Win32ProcessControl::setThreadPriority(int threadPriority) {
  (void)::SetThreadPriority(::GetCurrentThread(), threadPriority);
}

std::int32_t Win32ProcessControl::threadId() {
  return static_cast<std::int32_t>(::GetCurrentThreadId());
}

}  // namespace quorvan
