// kwtool's own trace events through the library's logger.
#include "kwtool/ToolTrace.h"

#include <kw/Event.h>
#include <kw/Exception.h>
#include <kw/Logger.h>

namespace kwtool {

namespace {

const wchar_t kFile[] = L".\\tools\\kwtool";

}  // namespace

void ToolTrace::start() {
  try {
    kw::Logger::initialise(L"kwtool");
  } catch (const kw::Exception&) {
    // The logger's lock is refused (another user's object under its name):
    // the command runs untraced.
    return;
  }
  kw::Logger::addConsoleLogDevice();
  kw::Logger::addDebugStreamLogDevice();
  try {
    kw::Logger::addFileLogDevice(false);
  } catch (const kw::Exception&) {
    // No trace file then; the command itself still runs.
  }
}

void ToolTrace::stop() { kw::Logger::shutDown(); }

void ToolTrace::info(unsigned long id, const std::wstring& text, int line,
                     const wchar_t* function) {
  kw::Event event(id, text.c_str(), kw::Event::Info, kFile, line, function);
  kw::Logger::Trace(event);
}

void ToolTrace::error(unsigned long id, const kw::Exception& cause, const std::wstring& text,
                      int line, const wchar_t* function) {
  kw::Event event(id, &cause, text.c_str(), kFile, line, function);
  kw::Logger::Trace(event);
}

}  // namespace kwtool
