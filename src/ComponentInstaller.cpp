// ComponentInstaller: loads each component library from the install folder and calls its
// registration entry point, tracing every outcome.
#include <kw/ComponentInstaller.h>
#include <kw/Event.h>
#include <kw/Logger.h>
#include <kw/Registry.h>
#include <kw/SiteId.h>

#include <string>

#include "Site.h"
#include "os/Library.h"

namespace kw {

namespace {

const wchar_t kFile[] = L".\\src\\ComponentInstaller";

const wchar_t* const kComponents[] = {L"VRXInternetExplorer", L"VRXOffice", L"VRXOutlook",
                                      L"CorvaneInstaller"};

struct Outcome {
  unsigned long id;
  const wchar_t* description;
};

// Registration and unregistration differ only in the entry point and in
// what their events say.
struct Action {
  const char* entryPoint;
  const wchar_t* function;
  Outcome notLoaded;
  Outcome notFound;
  Outcome failed;
  Outcome succeeded;
};

const Action kRegister = {"DllRegisterServer",
                          L"ComponentInstaller::installComponent",
                          {SiteId::RegisterLoadFailed, L"Failed to load DLL"},
                          {SiteId::RegisterEntryMissing, L"Failed to locate DllRegisterServer"},
                          {SiteId::RegisterFailed, L"Failed to register DLL"},
                          {SiteId::RegisterSucceeded, L"Dll Registration Successful"}};

const Action kUnregister = {
    "DllUnregisterServer",
    L"ComponentInstaller::uninstallComponent",
    {SiteId::UnregisterLoadFailed, L"Failed to load DLL"},
    {SiteId::UnregisterEntryMissing, L"Failed to locate DllUnregisterServer"},
    {SiteId::UnregisterFailed, L"Failed to unregister DLL"},
    {SiteId::UnregisterSucceeded, L"Dll Unregistration Successful"}};

void traceError(const Action& action, const Outcome& outcome, const FileName& dll, int line) {
  Site(kFile, action.function)
      .traceSystemError(outcome.id, outcome.description, line, {L"DLL name", dll.getFilepath()});
}

void traceSuccess(const Action& action, const FileName& dll, int line) {
  Event event(action.succeeded.id, action.succeeded.description, Event::Info, kFile, line,
              action.function);
  event.addDetails(L"DLL name", dll.getFilepath());
  Logger::Trace(event);
}

void perform(const Action& action, const FileName& dll) {
  // Components may look for their own files relative to it; it is left
  // as it is afterwards.
  os::setCurrentFolder(dll.getDriveAndFolder());
  os::LibraryHandle library = os::loadLibrary(dll.getFilepath());
  if (!library) {
    traceError(action, action.notLoaded, dll, __LINE__);
    return;
  }
  os::EntryPoint entryPoint = os::findEntryPoint(library, action.entryPoint);
  if (!entryPoint) {
    traceError(action, action.notFound, dll, __LINE__);
  } else if (entryPoint() < 0) {
    traceError(action, action.failed, dll, __LINE__);
  } else {
    traceSuccess(action, dll, __LINE__);
  }
  // The events are out before the library's code goes away.
  os::unloadLibrary(library);
}

}  // namespace

void ComponentInstaller::installComponents() {
  std::vector<FileName> list;
  buildComponentList(list);
  installComponents(list);
}

void ComponentInstaller::uninstallComponents() {
  std::vector<FileName> list;
  buildComponentList(list);
  uninstallComponents(list);
}

void ComponentInstaller::buildComponentList(std::vector<FileName>& list) {
  Registry settings(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  const std::wstring folder = settings.read(L"InstallDir", os::kDefaultInstallFolder);
  for (const wchar_t* name : kComponents) {
    list.emplace_back(folder.c_str(), name, os::kLibraryExtension);
  }
}

void ComponentInstaller::installComponents(std::vector<FileName>& list) {
  for (const FileName& dll : list) installComponent(dll);
}

void ComponentInstaller::uninstallComponents(std::vector<FileName>& list) {
  for (const FileName& dll : list) uninstallComponent(dll);
}

void ComponentInstaller::installComponent(const FileName& dll) { perform(kRegister, dll); }

void ComponentInstaller::uninstallComponent(const FileName& dll) { perform(kUnregister, dll); }

}  // namespace kw
