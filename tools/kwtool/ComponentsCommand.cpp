// kwtool install-components and uninstall-components: the component
// installer for users, with each outcome that it traces printed.
#include <kw/ComponentInstaller.h>
#include <kw/Event.h>
#include <kw/LogDevice.h>
#include <kw/Logger.h>
#include <kw/SiteId.h>

#include <memory>
#include <mutex>

#include "kwtool/CommandLine.h"
#include "kwtool/Console.h"
#include "kwtool/Handlers.h"

namespace kwtool {

namespace {

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
  explicit OutcomeDevice(std::shared_ptr<Outcomes> outcomes) : m_pOutcomes(std::move(outcomes)) {}
  void Setup() override {}
  void ShutDown() override {}
  void Write(kw::Event& event) override {
    if (event.getID() < kFirstOutcome || event.getID() > kLastOutcome) return;
    std::wstring text = event.toString(false);
    if (text.size() >= 2) text.resize(text.size() - 2);  // "\r\n"
    const bool failed = event.getType() == kw::Event::Error;
    std::wstring line =
        (failed ? L"Error " : L"Info  ") + std::to_wstring(event.getID()) + L" " + text;
    std::lock_guard<std::mutex> guard(m_pOutcomes->lock);
    if (m_pOutcomes->open) m_pOutcomes->list.push_back({failed, std::move(line)});
  }

 private:
  std::shared_ptr<Outcomes> m_pOutcomes;
};

int runInstaller(const CommandLine& line, Console& console, void (*installer)(),
                 const wchar_t* done) {
  if (!line.operands().empty()) line.fail(L"no operands expected");

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

int runInstallComponents(const CommandLine& line, Console& console) {
  return runInstaller(line, console, &kw::ComponentInstaller::installComponents, L"registered");
}

int runUninstallComponents(const CommandLine& line, Console& console) {
  return runInstaller(line, console, &kw::ComponentInstaller::uninstallComponents, L"unregistered");
}

}  // namespace kwtool
