#pragma once

#include <kw/LogDevice.h>
#include <kw/Mutex.h>
#include <kw/Platform.h>

#include <string>
#include <vector>

namespace kw {

class Event;

// The process's logging hub. Log devices get what is logged with Log;
// trace devices get everything, since Log passes each event on to Trace.
// One named lock, shared by the processes of one application name and
// user, serialises every device call.
class KW_API Logger {
 public:
  // Null names the application "Kestrelwright".
  static void initialise(const wchar_t* applicationName);
  // Shuts down and destroys every device; logging stays possible.
  static void shutDown();

  static void Log(Event& event);
  static void Trace(Event& event);

  static void addCustomLogDevice(LogDevice* device);
  static void addCustomTraceDevice(LogDevice* device);

  // The standard devices, when their switches under
  // HKEY_LOCAL_MACHINE\Software\Kestrelwright say so.
  static void addFileLogDevice(bool useTempFolder);
  static void addEventLogDevice();
  static void addDebugStreamLogDevice();
  static void addConsoleLogDevice();

  static const std::wstring& getApplicationName() { return s_strApplicationName; }

  Logger() = delete;

 protected:
  static bool s_bInitialised;
  static Mutex s_mutex;
  static std::wstring s_strApplicationName;
  static std::vector<LogDevice*> s_lstLogDevices;
  static std::vector<LogDevice*> s_lstTraceDevices;

 private:
  // The application's integer switch `<name><suffix>` is above 0.
  static bool isSwitchedOn(const wchar_t* suffix);
  static void addDevice(std::vector<LogDevice*>& list, LogDevice* device);
  static void clear(std::vector<LogDevice*>& list);
};

}  // namespace kw
