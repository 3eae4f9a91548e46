// Registry: typed reads and writes of settings below one registry key.
#pragma once

#include <kw/ByteArray.h>
#include <kw/Platform.h>

#include <string>

namespace kw {

// One place in the registry, a root key and a path below it, with typed
// reads and writes of values addressed relative to it. No key stays open
// between calls; failures show only in the result: a read gives the
// caller's default, a write or delete gives false.
class KW_API Registry {
 public:
  // A place below `rootKey`; nothing is opened yet.
  Registry(HKEY rootKey = HKEY_CURRENT_USER,
           const wchar_t* rootKeyPath = L"Software\\Kestrelwright");
  // The same root key and path.
  Registry(const Registry& other) = default;
  // The same root key and path.
  Registry& operator=(const Registry& other) = default;
  ~Registry();

  // A null root or path is ignored.
  void setRootKey(HKEY rootKey);
  // Replaces the path below the root key.
  void setRootKeyPath(const wchar_t* rootKeyPath);
  // The path below the root key.
  const std::wstring& getRootKeyPath() const { return m_strRootKeyPath; }

  // Any value of at most 4 bytes, whatever its type, read little-endian.
  int read(const wchar_t* valuePath, int defaultValue) const;
  // REG_SZ only; a null default is the empty string.
  std::wstring read(const wchar_t* valuePath, const wchar_t* defaultValue) const;
  // REG_SZ only, as the overload taking a pointer.
  std::wstring read(const wchar_t* valuePath, const std::wstring& defaultValue) const;
  // REG_BINARY only; a null default is an empty array.
  ByteArray read(const wchar_t* valuePath, const ByteArray* defaultValue) const;

  // Keys missing on the way are created. Null text is stored as empty text.
  bool write(const wchar_t* valuePath, int value) const;
  // Writes REG_SZ text.
  bool write(const wchar_t* valuePath, const wchar_t* value) const;
  // Writes REG_SZ text.
  bool write(const wchar_t* valuePath, const std::wstring& value) const;
  // Writes REG_BINARY bytes.
  bool write(const wchar_t* valuePath, const ByteArray& value) const;

  // A bare name of a value directly under the root key path; a backslash in
  // it is part of the name.
  bool deleteValue(const wchar_t* valueName) const;

 protected:
  // Splits root key path + value path at its last backslash into the key
  // path and the value name; a null value path leaves both untouched.
  void setUp(const wchar_t* valuePath, std::wstring& keyPath, std::wstring& valueName) const;

 private:
  HKEY m_hRootKey;
  std::wstring m_strRootKeyPath;
};

}  // namespace kw
