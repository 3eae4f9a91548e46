// Registry: typed value reads and writes through the settings store, each opening and closing
// its key.
#include "os/Registry.h"

#include <kw/Registry.h>
#include <kw/Tools.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <exception>
#include <vector>

#include "Utf16.h"

namespace kw {

namespace {

// An open key, closed on every way out.
class OpenKey {
 public:
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (m_bOpen) os::regCloseKey(m_hKey);
  }

  bool open(HKEY root, const std::wstring& path, unsigned access) {
    m_bOpen = os::regOpenKey(root, path, access, m_hKey) == os::kRegOk;
    return m_bOpen;
  }
  bool create(HKEY root, const std::wstring& path, unsigned access) {
    m_bOpen = os::regCreateKey(root, path, access, m_hKey) == os::kRegOk;
    return m_bOpen;
  }
  HKEY get() const { return m_hKey; }

 private:
  HKEY m_hKey = nullptr;
  bool m_bOpen = false;
};

// Queries type and size; true for an existing value of the wanted type.
bool queryShape(const OpenKey& key, const std::wstring& name, unsigned wantedType,
                unsigned& byteCount) {
  unsigned type = REG_NONE;
  byteCount = 0;
  return os::regQueryValue(key.get(), name.c_str(), &type, nullptr, &byteCount) == os::kRegOk &&
         type == wantedType;
}

// Opens or creates the key and stores one typed value in it.
bool storeValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName,
                unsigned type, const unsigned char* data, unsigned byteCount) {
  OpenKey key;
  if (!key.create(root, keyPath, KEY_WRITE)) return false;
  return os::regSetValue(key.get(), valueName.c_str(), type, data, byteCount) == os::kRegOk;
}

}  // namespace

Registry::Registry(HKEY rootKey, const wchar_t* rootKeyPath)
    : m_hRootKey(rootKey), m_strRootKeyPath(rootKeyPath ? rootKeyPath : L"") {
  Tools::cleanString(m_strRootKeyPath);
}

Registry::~Registry() = default;

void Registry::setRootKey(HKEY rootKey) {
  if (rootKey) m_hRootKey = rootKey;
}

void Registry::setRootKeyPath(const wchar_t* rootKeyPath) {
  if (!rootKeyPath) return;
  m_strRootKeyPath = rootKeyPath;
  Tools::cleanString(m_strRootKeyPath);
}

void Registry::setUp(const wchar_t* valuePath, std::wstring& keyPath,
                     std::wstring& valueName) const {
  if (!valuePath) return;
  std::wstring cleaned(valuePath);
  Tools::cleanString(cleaned);
  std::wstring full = m_strRootKeyPath + L"\\" + cleaned;
  std::size_t cut = full.rfind(L'\\');
  keyPath = full.substr(0, cut);
  valueName = full.substr(cut + 1);
}

// Only standard exceptions can arise here (allocation, lengths); a catch-all
// would also swallow the unwinding that stops a worker thread.

int Registry::read(const wchar_t* valuePath, int defaultValue) const {
  try {
    std::wstring keyPath, valueName;
    setUp(valuePath, keyPath, valueName);
    OpenKey key;
    if (!key.open(m_hRootKey, keyPath, KEY_READ)) return defaultValue;
    // Shorter values fill the low-order bytes only; the rest stay zero.
    unsigned char data[4] = {};
    unsigned count = sizeof data;
    if (os::regQueryValue(key.get(), valueName.c_str(), nullptr, data, &count) != os::kRegOk) {
      return defaultValue;
    }
    std::uint32_t value =
        data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
    return static_cast<int>(value);
  } catch (const std::exception&) {
    return defaultValue;
  }
}

std::wstring Registry::read(const wchar_t* valuePath, const wchar_t* defaultValue) const {
  try {
    std::wstring result(defaultValue ? defaultValue : L"");
    std::wstring keyPath, valueName;
    setUp(valuePath, keyPath, valueName);
    OpenKey key;
    if (!key.open(m_hRootKey, keyPath, KEY_READ)) return result;
    unsigned count = 0;
    if (!queryShape(key, valueName, REG_SZ, count)) return result;
    // Room for a terminator the stored data may lack.
    std::vector<unsigned char> buffer(count < 2 ? 2 : count);
    unsigned size = static_cast<unsigned>(buffer.size());
    unsigned type = REG_NONE;
    if (os::regQueryValue(key.get(), valueName.c_str(), &type, buffer.data(), &size) !=
            os::kRegOk ||
        type != REG_SZ) {
      return result;
    }
    std::wstring text;
    utf16::appendFromLE(text, reinterpret_cast<const char*>(buffer.data()), size / 2);
    std::size_t end = text.find(L'\0');
    if (end != std::wstring::npos) text.erase(end);
    return text;
  } catch (const std::exception&) {
    return defaultValue ? defaultValue : L"";
  }
}

std::wstring Registry::read(const wchar_t* valuePath, const std::wstring& defaultValue) const {
  return read(valuePath, defaultValue.c_str());
}

ByteArray Registry::read(const wchar_t* valuePath, const ByteArray* defaultValue) const {
  try {
    std::wstring keyPath, valueName;
    setUp(valuePath, keyPath, valueName);
    OpenKey key;
    unsigned count = 0;
    if (key.open(m_hRootKey, keyPath, KEY_READ) && queryShape(key, valueName, REG_BINARY, count) &&
        count <= static_cast<unsigned>(INT_MAX)) {
      ByteArray result;
      auto* data = reinterpret_cast<unsigned char*>(result.getBuffer(static_cast<int>(count)));
      unsigned size = count;
      unsigned type = REG_NONE;
      // An empty value leaves data null, which makes this a size query: still right.
      if (os::regQueryValue(key.get(), valueName.c_str(), &type, data, &size) == os::kRegOk &&
          type == REG_BINARY) {
        if (size < count) result.resize(static_cast<int>(size));
        return result;
      }
    }
  } catch (const std::exception&) {
  }
  try {
    return defaultValue ? ByteArray(*defaultValue) : ByteArray();
  } catch (const std::exception&) {
    return ByteArray();
  }
}

bool Registry::write(const wchar_t* valuePath, int value) const {
  try {
    std::wstring keyPath, valueName;
    setUp(valuePath, keyPath, valueName);
    auto bits = static_cast<std::uint32_t>(value);
    unsigned char data[4] = {
        static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
        static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
    return storeValue(m_hRootKey, keyPath, valueName, REG_DWORD, data, sizeof data);
  } catch (const std::exception&) {
    return false;
  }
}

bool Registry::write(const wchar_t* valuePath, const wchar_t* value) const {
  try {
    std::wstring keyPath, valueName;
    setUp(valuePath, keyPath, valueName);
    const wchar_t* text = value ? value : L"";
    std::size_t length = std::wcslen(text);
    // UTF-16 code units plus the terminator, two bytes each.
    std::size_t units = utf16::unitCount(text, length) + 1;
    if (units > UINT_MAX / 2) return false;
    std::vector<char> bytes(units * 2, 0);
    utf16::writeLE(bytes.data(), text, length);
    return storeValue(m_hRootKey, keyPath, valueName, REG_SZ,
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<unsigned>(bytes.size()));
  } catch (const std::exception&) {
    return false;
  }
}

bool Registry::write(const wchar_t* valuePath, const std::wstring& value) const {
  return write(valuePath, value.c_str());
}

bool Registry::write(const wchar_t* valuePath, const ByteArray& value) const {
  try {
    std::wstring keyPath, valueName;
    setUp(valuePath, keyPath, valueName);
    // Some stores refuse a null pointer even with a zero count.
    static const unsigned char kNothing = 0;
    const auto* data =
        value.getData() ? reinterpret_cast<const unsigned char*>(value.getData()) : &kNothing;
    unsigned size = value.getSize() > 0 ? static_cast<unsigned>(value.getSize()) : 0;
    return storeValue(m_hRootKey, keyPath, valueName, REG_BINARY, data, size);
  } catch (const std::exception&) {
    return false;
  }
}

bool Registry::deleteValue(const wchar_t* valueName) const {
  try {
    OpenKey key;
    if (!key.open(m_hRootKey, m_strRootKeyPath, KEY_ALL_ACCESS)) return false;
    return os::regDeleteValue(key.get(), valueName ? valueName : L"") == os::kRegOk;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace kw
