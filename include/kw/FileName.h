// FileName: a path held whole and split into drive, folder, name and extension.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw {

// A file path kept whole and in parts: drive, folder, name, extension and
// drive-and-folder. Setting the whole path splits it; setting a part joins
// the parts and splits the result again, so the parts always follow the
// whole path. Drive is stored without its colon, extension without its dot,
// folder with one leading separator and no trailing one.
//
// A path over the platform's limits is refused: the object keeps what it
// held before.
class KW_API FileName {
 public:
  FileName();
  // Explicit: with the implicit conversion to const wchar_t* an implicit
  // constructor would make `name == L"..."` ambiguous.
  explicit FileName(const wchar_t* path);
  // The drive is the text before the first colon of `driveAndFolder`, the
  // folder what follows it (or all of it without a colon).
  FileName(const wchar_t* driveAndFolder, const wchar_t* name, const wchar_t* extension);
  // The parts are taken as given, untrimmed, then joined.
  FileName(const wchar_t* drive, const wchar_t* folder, const wchar_t* name,
           const wchar_t* extension);
  // Copies the path and its parts.
  FileName(const FileName& other);
  virtual ~FileName();

  // Copies the path and its parts.
  FileName& operator=(const FileName& other);
  // Sets the whole path, as setFilepath.
  FileName& operator=(const wchar_t* path);

  // A null argument clears the whole path or the part.
  void setFilepath(const wchar_t* path);
  // Replaces the drive, then joins and splits again.
  void setDrive(const wchar_t* drive);
  // Replaces the folder, then joins and splits again.
  void setFolder(const wchar_t* folder);
  // Replaces the name, then joins and splits again.
  void setName(const wchar_t* name);
  // Replaces the extension, then joins and splits again.
  void setExtension(const wchar_t* extension);

  // The whole path.
  const wchar_t* getFilepath() const { return m_strFilepath.c_str(); }
  // The drive, without its colon.
  const wchar_t* getDrive() const { return m_strDrive.c_str(); }
  // The folder, with one leading separator and no trailing one.
  const wchar_t* getFolder() const { return m_strFolder.c_str(); }
  // The file name without extension.
  const wchar_t* getName() const { return m_strName.c_str(); }
  // The extension, without its dot.
  const wchar_t* getExtension() const { return m_strExtension.c_str(); }
  // Drive and folder together.
  const wchar_t* getDriveAndFolder() const { return m_strDriveAndFolder.c_str(); }
  // The whole path.
  operator const wchar_t*() const { return m_strFilepath.c_str(); }

  // Whole paths compared with ASCII letters folded.
  bool operator==(const FileName& other) const;
  // Orders whole paths with ASCII letters folded.
  bool operator<(const FileName& other) const;
  // The stored extension (no dot) against `extension`, ASCII letters folded.
  bool isOfType(const wchar_t* extension) const;
  // A regular file exists at the whole path.
  bool exists() const;

  // Trims separators, tabs, dots, blanks, colons and semicolons from both ends.
  static void cleanPath(std::wstring& path);

  // Appends 0001, 0002, ... to the current name and stops at the first
  // variant that names no existing file; false when all 9999 exist.
  bool getNextAvailableIndexedName();
  // The same walk, stopping at the first variant that does exist; false
  // when none does.
  bool setFirstIndexedName();

 protected:
  // Divides the whole path into the parts; false (nothing changed) when a
  // part is over its limit.
  bool splitpath();
  // Composes a whole path from the parts and splits it; false (nothing
  // changed) when the result is over the limits.
  bool makepath();

 private:
  bool assignPath(std::wstring path);
  bool setPart(std::wstring& part, std::wstring value);
  bool walkIndexedNames(bool stopAtExisting);

  std::wstring m_strFilepath;
  std::wstring m_strDrive;
  std::wstring m_strFolder;
  std::wstring m_strName;
  std::wstring m_strExtension;
  std::wstring m_strDriveAndFolder;
};

}  // namespace kw
