// The folder and extension of the test component libraries, and the marker folder they write to.
#include "support/TestComponents.h"

#include <kw/Tools.h>

#include <algorithm>
#include <filesystem>

#include "support/ChildProcess.h"

namespace kwtest {

std::wstring componentFolder() {
  std::wstring folder = kw::Tools::widenNarrowString(KW_TEST_COMPONENTS);
#ifdef _WIN32
  std::replace(folder.begin(), folder.end(), L'/', L'\\');
  return folder + L"\\";
#else
  return folder + L"/";
#endif
}

const wchar_t* componentExtension() {
#ifdef _WIN32
  return L".dll";
#else
  return L".so";
#endif
}

ComponentMarkers::ComponentMarkers() { setEnv("KW_COMPONENT_MARKERS", m_folder.path().string()); }

ComponentMarkers::~ComponentMarkers() { setEnv("KW_COMPONENT_MARKERS", ""); }

bool ComponentMarkers::registered() const {
  return std::filesystem::exists(m_folder.path() / "component.registered");
}

}  // namespace kwtest
