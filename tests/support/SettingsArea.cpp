// SettingsArea: a private settings area for one test: a unique registry key on Windows, a scratch
// KW_REGISTRY_DIR on Linux; and kwtest::uniqueName.
#include "support/SettingsArea.h"

#include <kw/Platform.h>

#include <chrono>
#include <random>

#include "support/ChildProcess.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kwtest {

namespace {

const wchar_t kParent[] = L"Software\\KestrelwrightTest";

}  // namespace

std::wstring uniqueName() {
  std::random_device random;
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::to_wstring(random()) + L"-" + std::to_wstring(stamp);
}

SettingsArea::SettingsArea() {
#ifdef _WIN32
  m_keyPath = std::wstring(kParent) + L"\\" + uniqueName();
#else
  setEnv("KW_REGISTRY_DIR", m_scratch.path().string());
  m_keyPath = kParent;
#endif
}

SettingsArea::~SettingsArea() {
#ifdef _WIN32
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    RegDeleteTreeW(root, m_keyPath.c_str());
    RegDeleteKeyW(root, kParent);  // only when nothing else is left
  }
#else
  setEnv("KW_REGISTRY_DIR", "");
#endif
}

}  // namespace kwtest
