// Tests of Event: its text with and without the header line, the local time and type label in the
// header, the appended exception text and the system error information.
#include <gtest/gtest.h>
#include <kw/Event.h>
#include <kw/Exception.h>
#include <kw/SiteId.h>

#include <ctime>
#include <cwchar>
#include <cwctype>
#include <sstream>

#include "os/ErrorText.h"

using kw::Event;
using kw::SiteId;

namespace {

// True when `text` starts with "YYYY/MM/DD HH:MM:SS ".
bool startsWithTimestamp(const std::wstring& text) {
  const std::wstring shape = L"dddd/dd/dd dd:dd:dd ";
  if (text.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == L'd' ? !std::iswdigit(text[i]) : text[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace

TEST(Event, HeaderCarriesTimeLabelAndId) {
  Event info(42, L"D", Event::Info, L"f", 1, L"fn");
  EXPECT_FALSE(info.getIncludeHeaders());
  std::wstring text = info.toString(true);
  EXPECT_TRUE(info.getIncludeHeaders());
  ASSERT_TRUE(startsWithTimestamp(text)) << text;
  EXPECT_EQ(text.substr(20), L"Info    42 D \r\n");
  // The flag is per call: the next device may format without the header.
  EXPECT_EQ(info.toString(false), L"D \r\n");
  EXPECT_EQ(Event(2, L"S", Event::Info, L"f", 1, L"fn").toString(false), L"S \r\n");

  Event warning(3, L"W", Event::Warning, L"f", 1, L"fn");
  EXPECT_EQ(warning.toString(true).substr(20), L"Warning 3 W \r\n");
  Event odd(7, L"E", static_cast<Event::EventType>(7), L"f", 1, L"fn");
  EXPECT_EQ(odd.toString(true).substr(20), L"Error   7 E \r\n");
  // The ID as an unsigned decimal: no digits dropped at either end.
  EXPECT_EQ(Event(0, L"Z", Event::Info, L"f", 1, L"fn").toString(true).substr(20),
            L"Info    0 Z \r\n");
  EXPECT_EQ(Event(1234567, L"S", Event::Info, L"f", 1, L"fn").toString(true).substr(20),
            L"Info    1234567 S \r\n");
  EXPECT_EQ(Event(0xFFFFFFFFUL, L"M", Event::Info, L"f", 1, L"fn").toString(true).substr(20),
            L"Info    4294967295 M \r\n");
  std::wostringstream stream;
  stream << odd;
  EXPECT_EQ(stream.str().substr(20), L"Error   7 E \r\n");
}

TEST(Event, HeaderTimeIsTheLocalTimeNow) {
  auto now = [] {
    wchar_t text[32] = {};
    std::time_t seconds = std::time(nullptr);
    std::wcsftime(text, 32, L"%Y/%m/%d %H:%M:%S", std::localtime(&seconds));
    return std::wstring(text);
  };
  Event event(1, L"D", Event::Info, L"f", 1, L"fn");
  std::wstring before = now();
  std::wstring stamp = event.toString(true).substr(0, 19);
  std::wstring after = now();
  EXPECT_TRUE(stamp == before || stamp == after) << stamp << L" not " << before;
}

// Without the header: the description, the details and an exception's text.
TEST(Event, TextWithoutHeaders) {
  Event detailed(1, L"Desc", L"f", 2, L"fn");
  detailed.addDetails(L"Name", L"5");
  detailed.addDetails(L"Name", 5);
  EXPECT_EQ(detailed.toString(false), L"Desc  Name:5 Name: 5\r\n");
  EXPECT_EQ(detailed.getType(), Event::Error);

  kw::Exception cause(SiteId::MsgUnsupportedVersion, L"bad", L".\\src\\Msg", 10,
                      L"Msg::fromByteArray");
  Event event(9, &cause, L"Failed", L"f", 1, L"fn");
  event.addDetails(L"Step", 2);
  EXPECT_EQ(event.toString(false), L"Failed  Step: 2 Exception: " + cause.toString() + L"\r\n");
  Event noDescription(9, &cause, L"f", 1, L"fn");
  EXPECT_EQ(noDescription.toString(false), L"  Exception: " + cause.toString() + L"\r\n");
}

TEST(Event, SystemErrorInfoReadsTheLastError) {
  Event event(1, L"D", L"f", 1, L"fn");
  kw::os::setLastError(5);
  event.addSystemErrorInfo();
  std::wstring text = event.toString(false);
  EXPECT_EQ(text.rfind(L"D  System Error ID: 5 System Error Description:", 0), 0u) << text;
  EXPECT_EQ(text.find(L'\n'), text.size() - 1) << "the system text must be one line";
}
