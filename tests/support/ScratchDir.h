// A fresh, uniquely named folder removed again with everything in it.
#pragma once

#include <filesystem>
#include <string>

namespace kwtest {

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::wstring wide() const { return m_path.wstring(); }

 private:
  std::filesystem::path m_path;
};

}  // namespace kwtest
