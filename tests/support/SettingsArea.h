// A settings area of the test's own, removed again at the end: a scratch
// store on Linux, a randomly named key of the real registry on Windows.
#pragma once

#include <string>

#include "support/ScratchDir.h"

namespace kwtest {

// Unlikely to repeat, across processes too.
std::wstring uniqueName();

class SettingsArea {
 public:
  SettingsArea();
  ~SettingsArea();
  SettingsArea(const SettingsArea&) = delete;
  SettingsArea& operator=(const SettingsArea&) = delete;

  // The key path below either root key that belongs to this area.
  const std::wstring& keyPath() const { return m_keyPath; }
  // The Linux store's folder (unused on Windows).
  const ScratchDir& scratch() const { return m_scratch; }

 private:
  ScratchDir m_scratch;
  std::wstring m_keyPath;
};

}  // namespace kwtest
