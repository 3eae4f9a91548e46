// Logger: the process's static logging hub, with its log and trace device lists.
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

  // Hands the event to the log devices, then to the trace devices.
  static void Log(Event& event);
  // Hands the event to the trace devices.
  static void Trace(Event& event);

  // Adds a log device after its Setup; the logger owns it from then on.
  static void addCustomLogDevice(LogDevice* device);
  // Adds a trace device after its Setup; the logger owns it from then on.
  static void addCustomTraceDevice(LogDevice* device);

  // The standard devices, when their switches under
  // HKEY_LOCAL_MACHINE\Software\Kestrelwright say so.
  static void addFileLogDevice(bool useTempFolder);
  // The event-log device, with the application name as source; always added.
  static void addEventLogDevice();
  // The debugger-stream device, when the application's "DebugStream" switch is on.
  static void addDebugStreamLogDevice();
  // The console device, when the application's "ConsoleTrace" switch is on.
  static void addConsoleLogDevice();

  // The name given to initialise.
  static const std::wstring& getApplicationName() { return s_strApplicationName; }

  Logger() = delete;

 protected:
  // Whether initialise has run.
  static bool s_bInitialised;
  // The named lock around every device call.
  static Mutex s_mutex;
  // The application name.
  static std::wstring s_strApplicationName;
  // The log devices, owned.
  static std::vector<LogDevice*> s_lstLogDevices;
  // The trace devices, owned.
  static std::vector<LogDevice*> s_lstTraceDevices;

 private:
  // The application's integer switch `<name><suffix>` is above 0.
  static bool isSwitchedOn(const wchar_t* suffix);
  static void addDevice(std::vector<LogDevice*>& list, LogDevice* device);
  static void clear(std::vector<LogDevice*>& list);
};

}  // namespace kw
