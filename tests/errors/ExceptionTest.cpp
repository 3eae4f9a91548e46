// Tests of Exception and its two subclasses: empty defaults, types and catching as the base,
// numbered parameters, system error text, copies and the stream operator.
#include <gtest/gtest.h>
#include <kw/CommsException.h>
#include <kw/Exception.h>
#include <kw/SiteId.h>
#include <kw/SystemException.h>
#include <kw/Tools.h>

#include <sstream>

using kw::CommsException;
using kw::Exception;
using kw::SiteId;
using kw::SystemException;

TEST(Exception, DefaultRendersEmptyFields) {
  Exception e;
  EXPECT_EQ(e.getExceptionType(), 0);
  EXPECT_EQ(e.getExceptionID(), 0);
  EXPECT_STREQ(e.getFile(), L"Unknown");
  EXPECT_STREQ(e.getFunction(), L"Unknown");
  EXPECT_EQ(e.toString(), std::wstring(L"Type: 0 ID: 0 Desc:  StackTrace: ") + e.getStackTrace());
}

TEST(Exception, FamilyTypesShowInTextAndCatchAsBase) {
  SystemException s(SiteId::ThreadUnexpectedException, L"sys", L".\\src\\Thread", 10,
                    L"Thread::start");
  CommsException c(SiteId::MsgUnsupportedVersion, L"comms", L".\\src\\Msg", 20,
                   L"Msg::fromByteArray");
  Exception typed(7, 1, L"typed", L"f", 1, L"g");
  EXPECT_EQ(s.getExceptionType(), 1);
  EXPECT_EQ(c.getExceptionType(), 2);
  EXPECT_EQ(typed.getExceptionType(), 7);
  EXPECT_EQ(c.toString().rfind(L"Type: 2 ID: " + std::to_wstring(SiteId::MsgUnsupportedVersion) +
                                   L" Desc: comms StackTrace: ",
                               0),
            0u);

  try {
    throw c;
  } catch (Exception& caught) {
    EXPECT_EQ(caught.getExceptionID(), SiteId::MsgUnsupportedVersion);
    EXPECT_EQ(caught.getLine(), 20);
    EXPECT_EQ(caught.getFunction(), c.getFunction());
  }
}

TEST(Exception, ParametersAreNumberedAndSurviveSetDescription) {
  Exception e(1, L"Failed", L"f", 1, L"g");
  e.addParameter(L"alpha");
  e.addParameter(-5);
  EXPECT_STREQ(e.getDescription(), L"Failed (Param 1: alpha)  (Param 2: -5) ");
  e.setDescription(L"New");
  e.addParameter(static_cast<int>(3000000000u));
  EXPECT_STREQ(e.getDescription(), L"New (Param 3: -1294967296) ");
}

TEST(Exception, ErrorInfoAppendsSystemTextAndCode) {
  Exception e(1, L"Open", L"f", 1, L"g");
  e.addErrorInfo(0);
  EXPECT_STREQ(e.getDescription(), L"Open");

  std::wstring text;
  kw::Tools::lookupErrorDescription(2, text);
  e.addErrorInfo(2);
  EXPECT_EQ(std::wstring(e.getDescription()), L"Open : " + text + L" (2)");

  Exception unknown(1, L"X", L"f", 1, L"g");
  unknown.addErrorInfo(0x7ABCDEF);
  EXPECT_EQ(std::wstring(unknown.getDescription()), L"X :  (" + std::to_wstring(0x7ABCDEF) + L")");
}

// A copy keeps everything, as the stream operator shows.
TEST(Exception, CopyKeepsEverything) {
  const wchar_t* file = L".\\src\\Mutex";
  const wchar_t* function = L"Mutex::lock";
  SystemException original(SiteId::MutexCreateFailed, L"lock", file, 42, function);
  original.addParameter(L"a");
  SystemException copy(original);
  copy.addParameter(L"b");
  EXPECT_EQ(copy.getFile(), file);
  EXPECT_EQ(copy.getFunction(), function);
  EXPECT_STREQ(copy.getStackTrace(), original.getStackTrace());
  EXPECT_STREQ(copy.getDescription(), L"lock (Param 1: a)  (Param 2: b) ");

  Exception assigned;
  assigned = original;
  EXPECT_EQ(assigned.getExceptionType(), 1);
  EXPECT_EQ(assigned.getLine(), 42);
  std::wostringstream out;
  out << assigned;
  EXPECT_EQ(out.str(), original.toString());
}
