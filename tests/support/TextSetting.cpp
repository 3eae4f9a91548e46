// TextSetting: sets one of the suite's text values for a test and deletes it afterwards.
#include "support/TextSetting.h"

#include <kw/Registry.h>

#include <utility>

namespace kwtest {

namespace {

kw::Registry suiteKey() { return kw::Registry(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright"); }

}  // namespace

TextSetting::TextSetting(std::wstring name, const std::wstring& value) : m_name(std::move(name)) {
  suiteKey().write(m_name.c_str(), value);
}

TextSetting::~TextSetting() { suiteKey().deleteValue(m_name.c_str()); }

}  // namespace kwtest
