// Tools: trimming, splitting, case mapping, conversions, local object names, and user, machine
// and process identity.
#include <kw/SiteId.h>
#include <kw/Tools.h>

#include <mutex>

#include "Site.h"
#include "os/Clock.h"
#include "os/Desktop.h"
#include "os/ErrorText.h"
#include "os/Identity.h"
#include "os/TextCodec.h"

namespace kw {

namespace {

bool isTrimmed(wchar_t c) {
  return c == L'\\' || c == L'\t' || c == L'/' || c == L'.' || c == L' ' || c == L':' || c == L';';
}

const wchar_t kSourceFile[] = L".\\src\\Tools";
constexpr Site kGetUserName(kSourceFile, L"Tools::getUserName");

struct ConversionSite {
  Site where;
  unsigned long sizeId;
  const wchar_t* sizeText;
  int sizeLine;
  unsigned long convertId;
  const wchar_t* convertText;
  int convertLine;
};

const ConversionSite kWiden = {Site(kSourceFile, L"Tools::widenNarrowString"),
                               SiteId::WidenSizeFailed,
                               L"Failed to get size of string when widened",
                               144,
                               SiteId::WidenFailed,
                               L"Failed to widen string",
                               165};
const ConversionSite kNarrow = {Site(kSourceFile, L"Tools::narrowWideString"),
                                SiteId::NarrowSizeFailed,
                                L"Failed to get size of string when narrow",
                                205,
                                SiteId::NarrowFailed,
                                L"Failed to make string narrow",
                                228};

// The converters' two steps: the size, terminator included, then the text.
template <typename Out, typename In>
Out convert(const In& text,
            int (*converter)(const typename In::value_type*, typename Out::value_type*, int),
            const ConversionSite& site) {
  int size = converter(text.c_str(), nullptr, 0);
  if (size <= 0) {
    site.where.traceSystemError(site.sizeId, site.sizeText, site.sizeLine);
    return Out();
  }
  std::vector<typename Out::value_type> buffer(static_cast<std::size_t>(size));
  if (converter(text.c_str(), buffer.data(), size) == 0) {
    site.where.traceSystemError(site.convertId, site.convertText, site.convertLine);
    return Out();
  }
  return Out(buffer.data());
}

}  // namespace

void Tools::cleanString(std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && isTrimmed(text[end - 1])) --end;
  std::size_t begin = 0;
  while (begin < end && isTrimmed(text[begin])) ++begin;
  if (end < text.size()) text.erase(end);
  if (begin > 0) text.erase(0, begin);
}

void Tools::splitString(const std::wstring& text, std::vector<std::wstring>& tokens,
                        const std::wstring& delimiters) {
  tokens.clear();
  std::size_t start = text.find_first_not_of(delimiters);
  while (start != std::wstring::npos) {
    std::size_t end = text.find_first_of(delimiters, start);
    tokens.push_back(
        text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    start = end == std::wstring::npos ? end : text.find_first_not_of(delimiters, end);
  }
}

void Tools::stringToUpper(std::wstring& text) {
  for (auto& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
}

void Tools::stringToLower(std::wstring& text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
}

void Tools::lookupErrorDescription(int code, std::wstring& text) {
  std::wstring message;
  if (!os::systemErrorText(code, message)) return;
  std::size_t cut = message.find_first_of(L"\r\n");
  if (cut != std::wstring::npos) message.erase(cut);
  text = message;
}

std::int64_t Tools::getCurrentTime() { return os::currentTime(); }

std::wstring Tools::widenNarrowString(const std::string& text) {
  return convert<std::wstring>(text, &os::utf8ToWide, kWiden);
}

std::string Tools::narrowWideString(const std::wstring& text) {
  return convert<std::string>(text, &os::wideToUtf8, kNarrow);
}

bool Tools::getUserName(std::wstring& user, std::wstring& domain) {
  std::wstring name;
  if (!os::samUserName(name)) {
    kGetUserName.traceSystemError(SiteId::UserNameUnavailable, L"Failed to get user name", 377);
    return false;
  }
  return parseUserName(name, user, domain);
}

bool Tools::parseUserName(const std::wstring& name, std::wstring& user, std::wstring& domain) {
  user.clear();
  domain.clear();
  std::vector<std::wstring> tokens;
  splitString(name, tokens, L"\\/");
  const Site::Detail userName{L"UserName", name.c_str()};
  switch (tokens.size()) {
    case 0:
      kGetUserName.traceSystemError(SiteId::UserNameEmpty, L"Failed to parse user name", 396,
                                    userName);
      return false;
    case 1:
      kGetUserName.trace(SiteId::UserNameWithoutDomain, L"Unexpected user name format", 405,
                         userName);
      user = tokens[0];
      return true;
    case 2:
      break;
    default:
      kGetUserName.trace(SiteId::UserNameExtraParts, L"Unexpected user name format", 420, userName);
      break;
  }
  domain = tokens[0];
  user = tokens[1];
  return true;
}

std::wstring Tools::createLocalObjectName(const wchar_t* name) {
  static std::once_flag once;
  static std::wstring prefix;
  std::call_once(once, [] {
    std::wstring user, domain;
    getUserName(user, domain);
    prefix = L"Local\\Kestrelwright.Kestrelwright." + domain + L"." + user + L".";
  });
  return name ? prefix + name : prefix;
}

bool Tools::getMachineName(std::wstring& machineName, std::wstring& domain) {
  machineName.clear();
  domain.clear();
  return os::workstationNames(machineName, domain);
}

bool Tools::isCurrentUserLocalSystem() {
  bool system = false;
  if (os::systemAccountKnown(system)) return system;
  std::wstring user, userDomain;
  if (!getUserName(user, userDomain)) return false;
  std::wstring machineName, machineDomain;
  if (!getMachineName(machineName, machineDomain)) return false;
  return isMachineAccount(user, machineName);
}

bool Tools::isMachineAccount(const std::wstring& user, const std::wstring& machineName) {
  return user == machineName + L"$";
}

bool Tools::isCurrentApp() {
  HWND window = os::foregroundWindow();
  if (!window) return false;
  unsigned long owner = os::windowProcessId(window);
  if (owner == 0) return false;
  unsigned long self = os::currentProcessId();
  if (self == 0) return false;
  return owner == self;
}

HWND Tools::getMyTopLevelHWND() {
  if (!isCurrentApp()) return nullptr;
  HWND window = os::foregroundWindow();
  // The user may have switched windows in between.
  return isCurrentApp() ? window : nullptr;
}

bool Tools::isThisProcess(const wchar_t* name) { return pathHoldsName(os::executablePath(), name); }

bool Tools::pathHoldsName(std::wstring path, const wchar_t* name) {
  std::wstring wanted(name);
  stringToLower(path);
  stringToLower(wanted);
  return path.find(wanted) != std::wstring::npos;
}

}  // namespace kw
