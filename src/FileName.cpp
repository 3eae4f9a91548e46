// FileName: splitting a path into its parts, joining the parts back, and ASCII-folded compares.
#include <kw/File.h>
#include <kw/FileName.h>
#include <kw/Tools.h>

#include <utility>

#include "RootedPath.h"
#include "Utf16.h"
#include "os/FileSystem.h"

namespace kw {

namespace {

constexpr int kLastIndex = 9999;

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

using rooted::isRooted;

std::wstring cleaned(const wchar_t* text) {
  std::wstring result = text ? text : L"";
  FileName::cleanPath(result);
  return result;
}

wchar_t folded(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool equalFolded(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (folded(a[i]) != folded(b[i])) return false;
  }
  return true;
}

// UTF-16 code-unit order, so both targets sort non-BMP names alike.
bool lessFolded(const std::wstring& a, const std::wstring& b) {
  std::wstring x = a;
  std::wstring y = b;
  Tools::stringToLower(x);
  Tools::stringToLower(y);
  return utf16::compare(x, y) < 0;
}

}  // namespace

FileName::FileName() = default;

FileName::FileName(const wchar_t* path) {
  if (path) assignPath(path);
}

FileName::FileName(const wchar_t* driveAndFolder, const wchar_t* name, const wchar_t* extension) {
  if (driveAndFolder) {
    std::wstring text = driveAndFolder;
    std::size_t colon = text.find(L':');
    if (colon == std::wstring::npos) {
      m_strFolder = text;
    } else {
      m_strDrive = text.substr(0, colon);
      m_strFolder = text.substr(colon + 1);
    }
  }
  if (name) m_strName = name;
  if (extension) m_strExtension = extension;
  if (!makepath()) *this = FileName();
}

FileName::FileName(const wchar_t* drive, const wchar_t* folder, const wchar_t* name,
                   const wchar_t* extension) {
  if (drive) m_strDrive = drive;
  if (folder) m_strFolder = folder;
  if (name) m_strName = name;
  if (extension) m_strExtension = extension;
  if (!makepath()) *this = FileName();
}

FileName::FileName(const FileName& other) = default;

FileName::~FileName() = default;

FileName& FileName::operator=(const FileName& other) = default;

FileName& FileName::operator=(const wchar_t* path) {
  setFilepath(path);
  return *this;
}

void FileName::setFilepath(const wchar_t* path) { assignPath(path ? path : L""); }

void FileName::setDrive(const wchar_t* drive) { setPart(m_strDrive, cleaned(drive)); }

void FileName::setFolder(const wchar_t* folder) {
  std::wstring text;
  if (folder) {
    text = folder;
    if (isRooted(text)) {
      rooted::trim(text);
    } else {
      cleanPath(text);
      text.insert(0, 1, L'\\');
    }
  }
  setPart(m_strFolder, std::move(text));
}

void FileName::setName(const wchar_t* name) { setPart(m_strName, cleaned(name)); }

void FileName::setExtension(const wchar_t* extension) {
  setPart(m_strExtension, cleaned(extension));
}

bool FileName::operator==(const FileName& other) const {
  return equalFolded(m_strFilepath, other.m_strFilepath);
}

bool FileName::operator<(const FileName& other) const {
  return lessFolded(m_strFilepath, other.m_strFilepath);
}

bool FileName::isOfType(const wchar_t* extension) const {
  return extension && equalFolded(m_strExtension, extension);
}

bool FileName::exists() const { return File::exists(m_strFilepath.c_str()); }

void FileName::cleanPath(std::wstring& path) { Tools::cleanString(path); }

bool FileName::getNextAvailableIndexedName() { return walkIndexedNames(false); }

bool FileName::setFirstIndexedName() { return walkIndexedNames(true); }

bool FileName::splitpath() {
  std::wstring path = m_strFilepath;
  const bool rooted = isRooted(path);
  rooted::trim(path);
  if (path.size() > os::kMaxPath) return false;

  std::wstring drive;
  std::wstring folder;
  std::wstring name;
  std::wstring extension;
  std::size_t pos = 0;
  if (path.size() >= 2 && path[1] == L':') {
    drive = path.substr(0, 2);
    pos = 2;
  }
  std::size_t lastSeparator = path.find_last_of(L"\\/");
  if (lastSeparator != std::wstring::npos && lastSeparator >= pos) {
    folder = path.substr(pos, lastSeparator + 1 - pos);
    pos = lastSeparator + 1;
  }
  std::wstring rest = path.substr(pos);
  std::size_t dot = rest.rfind(L'.');
  if (dot == std::wstring::npos) {
    name = std::move(rest);
  } else {
    name = rest.substr(0, dot);
    extension = rest.substr(dot);
  }
  // The limits hold for the parts as the split finds them, separators and
  // dot included, as the platform's fixed-size buffers would.
  if (folder.size() > os::kMaxFolder || name.size() > os::kMaxComponent ||
      extension.size() > os::kMaxComponent) {
    return false;
  }

  cleanPath(drive);
  cleanPath(name);
  cleanPath(extension);
  if (rooted) {
    rooted::trim(folder);
  } else {
    cleanPath(folder);
    folder.insert(0, 1, L'\\');
  }

  m_strFilepath = std::move(path);
  m_strDriveAndFolder = rooted ? folder : drive + L":" + folder;
  m_strDrive = std::move(drive);
  m_strFolder = std::move(folder);
  m_strName = std::move(name);
  m_strExtension = std::move(extension);
  return true;
}

bool FileName::makepath() {
  std::wstring path;
  if (!m_strDrive.empty()) {
    path += m_strDrive[0];
    path += L':';
  }
  if (!m_strFolder.empty()) {
    path += m_strFolder;
    if (!isSeparator(m_strFolder.back())) path += isRooted(path) ? L'/' : L'\\';
  }
  path += m_strName;
  if (!m_strExtension.empty()) {
    if (m_strExtension[0] != L'.') path += L'.';
    path += m_strExtension;
  }
  if (path.size() > os::kMaxPath) return false;
  return assignPath(std::move(path));
}

bool FileName::assignPath(std::wstring path) {
  std::swap(m_strFilepath, path);
  if (splitpath()) return true;
  std::swap(m_strFilepath, path);
  return false;
}

bool FileName::setPart(std::wstring& part, std::wstring value) {
  std::swap(part, value);
  if (makepath()) return true;
  std::swap(part, value);
  return false;
}

bool FileName::walkIndexedNames(bool stopAtExisting) {
  const std::wstring base = m_strName;
  for (int index = 1; index <= kLastIndex; ++index) {
    std::wstring digits = std::to_wstring(index);
    std::wstring name = base + std::wstring(4 - digits.size(), L'0') + digits;
    // A name pushed over the limits would leave the old path in place and
    // test the wrong file.
    if (!setPart(m_strName, cleaned(name.c_str()))) return false;
    if (exists() == stopAtExisting) return true;
  }
  return false;
}

}  // namespace kw
