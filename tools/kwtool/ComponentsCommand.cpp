#include "kwtool/ComponentsCommand.h"

#include <kw/ComponentInstaller.h>
#include <kw/Event.h>
#include <kw/LogDevice.h>
#include <kw/Logger.h>
#include <kw/SiteId.h>

#include <memory>
#include <mutex>

#include "kwtool/ArgReader.h"

namespace kwtool {

const wchar_t ComponentsCommand::kInstallUsage[] = L"usage: kwtool install-components";
const wchar_t ComponentsCommand::kUninstallUsage[] = L"usage: kwtool uninstall-components";

namespace {

const wchar_t kInstallHelp[] =
    L"Registers the suite's component libraries (VRXInternetExplorer, VRXOffice,\n"
    L"VRXOutlook, CorvaneInstaller) from the folder that the setting InstallDir\n"
    L"under HKLM\\Software\\Kestrelwright names, and prints each outcome.\n"
    L"Exits with 0 when every component registered, 1 otherwise.\n"
    L"Example: kwtool reg set InstallDir:str=/opt/Kestrelwright/";

const wchar_t kUninstallHelp[] =
    L"Unregisters the suite's component libraries from the folder that the\n"
    L"setting InstallDir under HKLM\\Software\\Kestrelwright names, and prints\n"
    L"each outcome. Exits with 0 when every component unregistered, 1 otherwise.";

// The installer's event IDs.
constexpr int kFirstOutcome = kw::SiteId::RegisterLoadFailed;
constexpr int kLastOutcome = kw::SiteId::UnregisterSucceeded;

struct Outcome {
  bool failed;
  std::wstring line;
};

struct Outcomes {
  std::mutex lock;
  bool open = true;
  std::vector<Outcome> list;
};

// Stays with the logger until it shuts down; once the command has its
// outcomes it records nothing more.
class OutcomeDevice : public kw::LogDevice {
 public:
  explicit OutcomeDevice(std::shared_ptr<Outcomes> outcomes) : m_outcomes(std::move(outcomes)) {}
  void Setup() override {}
  void ShutDown() override {}
  void Write(kw::Event& event) override {
    if (event.getID() < kFirstOutcome || event.getID() > kLastOutcome) return;
    std::wstring text = event.toString(false);
    if (text.size() >= 2) text.resize(text.size() - 2);  // "\r\n"
    const bool failed = event.getType() == kw::Event::Error;
    std::wstring line =
        (failed ? L"Error " : L"Info  ") + std::to_wstring(event.getID()) + L" " + text;
    std::lock_guard<std::mutex> guard(m_outcomes->lock);
    if (m_outcomes->open) m_outcomes->list.push_back({failed, std::move(line)});
  }

 private:
  std::shared_ptr<Outcomes> m_outcomes;
};

int runInstaller(const std::vector<std::wstring>& args, std::size_t first, Console& console,
                 const wchar_t* usage, const wchar_t* help, void (*installer)(),
                 const wchar_t* done) {
  ArgReader reader(args, first, usage);
  std::wstring option;
  while (reader.nextOption(option)) {
    if (ArgReader::isHelp(option)) return console.help(usage, help);
    reader.unknown(option);
  }
  if (!reader.done()) reader.fail(L"no operands expected");

  // The outcomes reach only trace devices: the tool needs one of its own.
  if (kw::Logger::getApplicationName().empty()) kw::Logger::initialise(L"kwtool");
  auto outcomes = std::make_shared<Outcomes>();
  kw::Logger::addCustomTraceDevice(new OutcomeDevice(outcomes));
  installer();

  std::vector<Outcome> list;
  {
    std::lock_guard<std::mutex> guard(outcomes->lock);
    outcomes->open = false;
    list.swap(outcomes->list);
  }
  std::size_t succeeded = 0;
  for (const Outcome& outcome : list) {
    console.print(outcome.line);
    if (!outcome.failed) ++succeeded;
  }
  console.print(std::to_wstring(succeeded) + L" of " + std::to_wstring(list.size()) +
                L" components " + done);
  return !list.empty() && succeeded == list.size() ? 0 : 1;
}

}  // namespace

int ComponentsCommand::install(const std::vector<std::wstring>& args, std::size_t first,
                               Console& console) {
  return runInstaller(args, first, console, kInstallUsage, kInstallHelp,
                      &kw::ComponentInstaller::installComponents, L"registered");
}

int ComponentsCommand::uninstall(const std::vector<std::wstring>& args, std::size_t first,
                                 Console& console) {
  return runInstaller(args, first, console, kUninstallUsage, kUninstallHelp,
                      &kw::ComponentInstaller::uninstallComponents, L"unregistered");
}

}  // namespace kwtool
