// Logger: the device lists, the named lock shared by the application's processes, and the switches
// that decide which standard devices are added.
#include <kw/AutoMutex.h>
#include <kw/Event.h>
#include <kw/Logger.h>
#include <kw/Registry.h>
#include <kw/Tools.h>

#include "os/Unwinding.h"

namespace kw {

bool Logger::s_bInitialised = false;
Mutex Logger::s_mutex;
std::wstring Logger::s_strApplicationName;
std::vector<LogDevice*> Logger::s_lstLogDevices;
std::vector<LogDevice*> Logger::s_lstTraceDevices;

void Logger::initialise(const wchar_t* applicationName) {
  s_strApplicationName = applicationName ? applicationName : L"Kestrelwright";
  s_mutex.initialise(
      Tools::createLocalObjectName((s_strApplicationName + L".log.mtx").c_str()).c_str());
  s_bInitialised = true;
}

void Logger::shutDown() {
  if (!s_bInitialised) return;
  AutoMutex lock(s_mutex);
  clear(s_lstLogDevices);
  clear(s_lstTraceDevices);
}

void Logger::clear(std::vector<LogDevice*>& list) {
  while (!list.empty()) {
    LogDevice* device = list.front();
    if (device) {
      device->ShutDown();
      delete device;
    }
    list.erase(list.begin());
  }
}

void Logger::Log(Event& event) {
  if (!s_bInitialised) return;
  AutoMutex lock(s_mutex);
  try {
    for (LogDevice* device : s_lstLogDevices) device->Write(event);
    Trace(event);
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
  }
}

void Logger::Trace(Event& event) {
  if (!s_bInitialised) return;
  AutoMutex lock(s_mutex);
  try {
    for (LogDevice* device : s_lstTraceDevices) device->Write(event);
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
  }
}

bool Logger::isSwitchedOn(const wchar_t* suffix) {
  Registry settings(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  return settings.read((s_strApplicationName + suffix).c_str(), 0) > 0;
}

void Logger::addCustomLogDevice(LogDevice* device) { addDevice(s_lstLogDevices, device); }

void Logger::addCustomTraceDevice(LogDevice* device) { addDevice(s_lstTraceDevices, device); }

void Logger::addDevice(std::vector<LogDevice*>& list, LogDevice* device) {
  if (!s_bInitialised || !device) return;
  AutoMutex lock(s_mutex);
  try {
    device->Setup();
    list.push_back(device);
  }
  KW_PASS_FORCED_UNWIND
  catch (...) {
  }
}

}  // namespace kw
