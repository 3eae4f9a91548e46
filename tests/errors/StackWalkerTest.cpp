// Stack traces of exceptions and walkers: their lines, the depth setting and
// the walks from given contexts.
#include <gtest/gtest.h>
#include <kw/Exception.h>
#include <kw/Registry.h>
#include <kw/SiteId.h>
#include <kw/StackWalker.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/StackWalking.h"
#include "support/ChildProcess.h"
#include "support/SettingsArea.h"
#include "support/SwitchSetting.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "support/ScratchDir.h"
#endif

using kw::Exception;
using kw::SiteId;
using kw::StackWalker;

namespace {

int s_knownLine = 0;

__attribute__((noinline)) void throwFromKnownFunction() {
  // clang-format off
  s_knownLine = __LINE__; throw Exception(1051499, L"known", L".\\src\\StackWalkerTest", 1, L"t");
  // clang-format on
}

std::wstring traceOfKnownThrow() {
  try {
    throwFromKnownFunction();
  } catch (Exception& e) {
    return e.getStackTrace();
  }
  return std::wstring();
}

std::vector<std::wstring> linesOf(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (std::size_t start = 0, end; (end = text.find(L"\r\r\n", start)) != std::wstring::npos;
       start = end + 3)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::size_t countStarting(const std::vector<std::wstring>& lines, const wchar_t* prefix) {
  std::size_t count = 0;
  for (const auto& line : lines) count += startsWith(line, prefix) ? 1 : 0;
  return count;
}

// The frame line of throwFromKnownFunction: "<file> (<line>): <name>".
const std::wstring* knownFrame(const std::vector<std::wstring>& lines) {
  for (const auto& line : lines)
    if (line.find(L"throwFromKnownFunction") != std::wstring::npos) return &line;
  return nullptr;
}

// Module lines are the only ones holding "SymType: '".
std::size_t moduleLines(const std::vector<std::wstring>& lines) {
  std::size_t count = 0;
  for (const auto& line : lines) count += line.find(L"), SymType: '") != std::wstring::npos;
  return count;
}

#if defined(_WIN32)
const wchar_t* const kTestSource = L"StackWalkerTest.cpp";
#else
const wchar_t* const kTestSource = L"tests/errors/StackWalkerTest.cpp";
#endif

class StackWalkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    if (StackWalker().ShowCallstack(kw::os::thisThread()).empty())
      GTEST_SKIP() << "dbghelp.dll walks no stack here: every trace is empty";
#endif
  }
  kwtest::SettingsArea m_area;
};

TEST_F(StackWalkerTest, ExceptionNamesThrowingFunctionFileAndLine) {
  std::wstring text = traceOfKnownThrow();
  ASSERT_FALSE(text.empty());
  // Every line ends in "\r\r\n"; nothing trails the last one.
  EXPECT_EQ(text.size() >= 3 ? text.substr(text.size() - 3) : text, L"\r\r\n");
  std::vector<std::wstring> lines = linesOf(text);
  ASSERT_TRUE(startsWith(lines.at(0), L"OS-Version: ")) << text;
  EXPECT_EQ(countStarting(lines, L"SymInit: "), 0u);
  EXPECT_EQ(moduleLines(lines), 0u);

  const std::wstring* frame = knownFrame(lines);
  ASSERT_NE(frame, nullptr) << text;
#if defined(_WIN32)
  if (frame->find(L"(filename not available)") != std::wstring::npos)
    GTEST_SKIP() << "this dbghelp resolves no lines for mingw code: " << *frame;
#endif
  std::wstring fileAndLine =
      std::wstring(kTestSource) + L" (" + std::to_wstring(s_knownLine) + L"): ";
  EXPECT_NE(frame->find(fileAndLine), std::wstring::npos) << *frame;
  // The caller follows its callee.
  std::size_t known = text.find(L"throwFromKnownFunction");
  std::size_t caller = text.find(L"traceOfKnownThrow");
  EXPECT_NE(caller, std::wstring::npos) << text;
  EXPECT_LT(known, caller);
}

TEST_F(StackWalkerTest, DepthTwoAddsSymbolEngineAndModuleLinesOtherValuesDoNot) {
  std::vector<std::wstring> plain = linesOf(traceOfKnownThrow());
  {
    kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
    std::vector<std::wstring> lines = linesOf(traceOfKnownThrow());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(startsWith(lines[0], L"SymInit: Symbol-SearchPath: '")) << lines[0];
    EXPECT_NE(lines[0].find(L"', symOptions: "), std::wstring::npos);
    EXPECT_NE(lines[0].find(L", UserName: '"), std::wstring::npos);
    EXPECT_TRUE(startsWith(lines[1], L"OS-Version: ")) << lines[1];
    // One line per module, the test program's among them, before any frame.
    std::size_t modules = moduleLines(lines);
    EXPECT_GE(modules, 3u);
    for (std::size_t i = 2; i < 2 + modules; ++i)
      EXPECT_NE(lines[i].find(L"), SymType: '"), std::wstring::npos) << lines[i];
    bool program = false;
    for (const auto& line : lines)
      program |= line.find(L"kwtest_errors") != std::wstring::npos &&
                 line.find(L"SymType: '") != std::wstring::npos;
    EXPECT_TRUE(program);
    EXPECT_NE(knownFrame(lines), nullptr);
  }
  for (int value : {3, 1, -2}) {
    kwtest::SwitchSetting depth(L"StackTraceInfoDepth", value);
    std::vector<std::wstring> lines = linesOf(traceOfKnownThrow());
    EXPECT_EQ(countStarting(lines, L"SymInit: "), 0u) << value;
    EXPECT_EQ(moduleLines(lines), 0u) << value;
    EXPECT_EQ(lines.size(), plain.size()) << value;
  }
}

KW_CHILD_MAIN(writeTraceDepth) {
  kw::Registry settings(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  return settings.write(L"StackTraceInfoDepth", std::stoi(args.at(0))) ? 0 : 1;
}

bool hasEngineLines(const std::wstring& text) {
  return countStarting(linesOf(text), L"SymInit: ") == 1;
}

// The depth is remembered between exceptions, yet a change takes effect on
// the very next one: written by another process, or twice in quick
// succession with values of the same size.
TEST_F(StackWalkerTest, DepthChangeShowsInTheNextException) {
  EXPECT_FALSE(hasEngineLines(traceOfKnownThrow()));
  for (const char* value : {"2", "1", "2"}) {
    kwtest::ChildProcess writer("writeTraceDepth", {value});
    ASSERT_TRUE(writer.started());
    ASSERT_EQ(writer.wait(), 0);
    EXPECT_EQ(hasEngineLines(traceOfKnownThrow()), value[0] == '2') << value;
  }
  kw::Registry settings(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(settings.write(L"StackTraceInfoDepth", 1));
    EXPECT_FALSE(hasEngineLines(traceOfKnownThrow())) << round;
    ASSERT_TRUE(settings.write(L"StackTraceInfoDepth", 2));
    EXPECT_TRUE(hasEngineLines(traceOfKnownThrow())) << round;
  }
  ASSERT_TRUE(settings.deleteValue(L"StackTraceInfoDepth"));
  EXPECT_FALSE(hasEngineLines(traceOfKnownThrow()));
}

// Every walker of one module set writes the same diagnostic lines, whether
// it started the symbol engine or took it over; a new module shows.
TEST_F(StackWalkerTest, ReusedSymbolSessionWritesSameLinesAndFollowsNewModules) {
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  std::wstring traces[2];
  for (std::wstring& trace : traces) trace = traceOfKnownThrow();
  const std::wstring& second = traces[1];
  EXPECT_EQ(traces[0], second);

#if defined(_WIN32)
  const char* library = "winmm.dll";
  HMODULE handle = LoadLibraryA(library);
  ASSERT_NE(handle, nullptr);
#else
  const char* library = "libX11.so.6";
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!handle) GTEST_SKIP() << "no " << library << " to load";
#endif
  std::wstring later = traceOfKnownThrow();
  std::vector<std::wstring> before = linesOf(second), after = linesOf(later);
  EXPECT_GT(moduleLines(after), moduleLines(before));
  std::wstring name(library, library + std::string(library).size());
  EXPECT_EQ(second.find(L":" + name), std::wstring::npos);
  EXPECT_NE(later.find(L":" + name), std::wstring::npos) << later;
#if defined(_WIN32)
  FreeLibrary(handle);
#else
  dlclose(handle);
#endif
}

// Records the entry types and the text it is handed.
class RecordingWalker : public StackWalker {
 public:
  using StackWalker::StackWalker;
  std::vector<CallstackEntryType> types;
  std::vector<std::string> outputs;

 protected:
  void OnCallstackEntry(CallstackEntryType type, CallstackEntry& entry) override {
    types.push_back(type);
    StackWalker::OnCallstackEntry(type, entry);
  }
  void OnOutput(const char* text) override {
    outputs.push_back(text);
    StackWalker::OnOutput(text);
  }
};

TEST_F(StackWalkerTest, EntriesRunFirstNextLastAndTextIsWhatOutputGot) {
  RecordingWalker walker;
  std::wstring text = walker.ShowCallstack(kw::os::thisThread());
  ASSERT_GE(walker.types.size(), 3u);
  EXPECT_EQ(walker.types.front(), StackWalker::EntryFirst);
  std::size_t last = 0;
  for (std::size_t i = 1; i < walker.types.size(); ++i) {
    if (walker.types[i] == StackWalker::EntryLast) ++last;
    if (i + 1 < walker.types.size()) EXPECT_EQ(walker.types[i], StackWalker::EntryNext) << i;
  }
  EXPECT_LE(last, 1u);
  std::wstring joined;
  for (const auto& output : walker.outputs) joined += std::wstring(output.begin(), output.end());
  EXPECT_EQ(text, joined);
  // One frame line per entry with an address; EntryLast writes nothing.
  EXPECT_EQ(linesOf(text).size(), walker.outputs.size());

  // The second walk of one walker reuses its modules: no OS-Version line.
  std::wstring again = walker.ShowCallstack(kw::os::thisThread());
  EXPECT_FALSE(again.empty());
  EXPECT_FALSE(startsWith(again, L"OS-Version: ")) << again;
  EXPECT_TRUE(startsWith(text, L"OS-Version: ")) << text;
}

// A plain walker writes a frame it met before from the line it kept; a
// walker that sees every entry must write the same text from one call site.
TEST_F(StackWalkerTest, KeptFrameLinesAreWhatEveryEntryWrites) {
  StackWalker first;
  StackWalker second;
  RecordingWalker recording;
  std::vector<std::wstring> texts;
  // A walker's first walk starts with the OS-Version line; its frames are the
  // later walks' text.
  StackWalker* const walkers[] = {&first, &second, &recording, &first, &recording};
  for (StackWalker* walker : walkers) texts.push_back(walker->ShowCallstack(kw::os::thisThread()));
  ASSERT_FALSE(texts[3].empty());
  EXPECT_EQ(texts[1], texts[0]);
  EXPECT_EQ(texts[2], texts[0]);
  EXPECT_EQ(texts[4], texts[3]);
  ASSERT_GT(texts[0].size(), texts[3].size());
  EXPECT_EQ(texts[0].substr(texts[0].size() - texts[3].size()), texts[3]);
}

// Records what the symbol engine reported, a line per call.
class NoteWalker : public StackWalker {
 public:
  using StackWalker::StackWalker;
  std::vector<std::string> starts, modules;

 protected:
  void OnSymInit(const char* path, std::uint32_t options, const char* user) override {
    starts.push_back(std::string(path) + "|" + std::to_string(options) + "|" + user);
  }
  void OnLoadModule(const char* image, const char* name, std::uint64_t base, std::uint32_t size,
                    std::uint32_t result, const char* symType, const char* debugFile,
                    std::uint64_t version) override {
    modules.push_back(std::string(image) + "|" + name + "|" + std::to_string(base) + "|" +
                      std::to_string(size) + "|" + std::to_string(result) + "|" + symType + "|" +
                      debugFile + "|" + std::to_string(version));
  }
};

// A walker that takes the process's symbol session over hears what starting
// it reported and a note of every module, even when the walker that started
// it wanted no module notes; so does the next one.
TEST_F(StackWalkerTest, WalkerTakingOverTheSessionHearsWhatItsStartReported) {
  // A search path of its own starts a session.
  StackWalker(0, "kw-session-of-its-own").ShowCallstack(kw::os::thisThread());
  NoteWalker taking(0, "kw-session-of-its-own");
  NoteWalker again(0, "kw-session-of-its-own");
  for (NoteWalker* walker : {&taking, &again})
    EXPECT_FALSE(walker->ShowCallstack(kw::os::thisThread()).empty());
  ASSERT_EQ(taking.starts.size(), 1u);
  EXPECT_EQ(taking.starts[0].rfind("kw-session-of-its-own;", 0), 0u) << taking.starts[0];
  EXPECT_EQ(again.starts, taking.starts);
  EXPECT_GE(taking.modules.size(), 3u);
  EXPECT_EQ(std::count_if(taking.modules.begin(), taking.modules.end(),
                          [](const std::string& note) {
                            return note.find("|kwtest_errors") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(again.modules, taking.modules);
}

TEST_F(StackWalkerTest, SymbolPathComesFirstEvenWithoutItsOption) {
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  StackWalker walker(0, "kw-symbols-first");
  std::wstring text = walker.ShowCallstack(kw::os::thisThread());
  EXPECT_TRUE(startsWith(text, L"SymInit: Symbol-SearchPath: 'kw-symbols-first;.;")) << text;

  StackWalker bare(0);
  std::wstring line = linesOf(bare.ShowCallstack(kw::os::thisThread())).at(0);
  EXPECT_EQ(line.find(L"kw-symbols-first"), std::wstring::npos) << line;
}

// A frame in a system library without line information: the address, the
// module and the name, with the placeholder for the file.
std::wstring s_comparatorTrace;

extern "C" int compareAndCapture(const void* a, const void* b) {
  if (s_comparatorTrace.empty()) s_comparatorTrace = Exception().getStackTrace();
  return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST_F(StackWalkerTest, FrameWithoutLineInformationShowsAddressModuleAndName) {
  int values[] = {3, 1, 2};
  s_comparatorTrace.clear();
  std::qsort(values, 3, sizeof(int), &compareAndCapture);
  std::vector<std::wstring> lines = linesOf(s_comparatorTrace);
  const std::wstring* comparator = nullptr;
  std::size_t at = 0;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(L"compareAndCapture") != std::wstring::npos) comparator = &lines[at = i];
  ASSERT_NE(comparator, nullptr) << s_comparatorTrace;
  // Between the comparator and this test, the C library's sorting frames.
  const std::wstring* library = nullptr;
  for (std::size_t i = at + 1; i < lines.size() && !library; ++i)
    if (lines[i].find(L"(filename not available)") != std::wstring::npos) library = &lines[i];
  ASSERT_NE(library, nullptr) << s_comparatorTrace;
  // "XXXXXXXX (<module>): (filename not available): <name>"
  ASSERT_GT(library->size(), 11u);
  EXPECT_EQ(library->find_first_not_of(L"0123456789ABCDEF"), 8u) << *library;
  EXPECT_EQ(library->substr(8, 2), L" (");
  std::size_t placeholder = library->find(L"): (filename not available): ");
  ASSERT_NE(placeholder, std::wstring::npos);
  EXPECT_GT(placeholder, 10u) << "module name missing: " << *library;
  EXPECT_GT(library->size(), placeholder + 30) << "name missing: " << *library;
}

// Walking from a context captured in a frame that is still running.
#if defined(_WIN32)
__attribute__((noinline)) std::wstring walkFromHere(int& line) {
  CONTEXT context;
  // clang-format off
  line = __LINE__; RtlCaptureContext(&context);
  // clang-format on
  StackWalker walker;
  return walker.ShowCallstack(kw::os::thisThread(), &context);
}
#else
__attribute__((noinline)) std::wstring walkFromHere(int& line) {
  ucontext_t context;
  // clang-format off
  line = __LINE__; getcontext(&context);
  // clang-format on
  StackWalker walker;
  return walker.ShowCallstack(kw::os::thisThread(), &context);
}
#endif

TEST_F(StackWalkerTest, WalkStartsAtGivenContext) {
  int line = 0;
  std::vector<std::wstring> lines = linesOf(walkFromHere(line));
  ASSERT_GE(lines.size(), 3u);
  // The first frame is the one that captured the context, not the walker's.
  EXPECT_NE(lines[1].find(L"walkFromHere"), std::wstring::npos) << lines[1];
  if (lines[1].find(L"(filename not available)") == std::wstring::npos)
    EXPECT_NE(lines[1].find(kTestSource), std::wstring::npos) << lines[1];
  EXPECT_NE(lines[2].find(L"WalkStartsAtGivenContext"), std::wstring::npos) << lines[2];
}

#if !defined(_WIN32)
// A signal's context: the walk starts at the interrupted function, not in
// the handler.
std::wstring s_signalTrace;

void walkSignalContext(int, siginfo_t*, void* context) {
  EXCEPTION_RECORD record{};
  EXCEPTION_POINTERS pointers{&record, context};
  s_signalTrace =
      Exception(SiteId::HardwareFault, L"fault", &pointers, L"f", 1, L"g").getStackTrace();
}

__attribute__((noinline)) void interruptedFunction() { raise(SIGUSR1); }

TEST_F(StackWalkerTest, ExceptionPointersContextStartsAtInterruptedFrame) {
  struct sigaction action {
  }, previous{};
  action.sa_sigaction = &walkSignalContext;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGUSR1, &action, &previous);
  interruptedFunction();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(s_signalTrace.find(L"walkSignalContext"), std::wstring::npos) << s_signalTrace;
  std::size_t interrupted = s_signalTrace.find(L"interruptedFunction");
  ASSERT_NE(interrupted, std::wstring::npos) << s_signalTrace;
  EXPECT_LT(interrupted, s_signalTrace.find(L"ExceptionPointersContextStartsAtInterruptedFrame"));
}
#endif

#if !defined(_WIN32) && defined(__x86_64__)
// The frame line of an address: "XXXXXXXX (<module>): ...".
std::wstring hexOf(std::uintptr_t address) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%08X", static_cast<unsigned>(address));
  return text;
}

const std::wstring* lineAt(const std::vector<std::wstring>& lines, std::uintptr_t address) {
  for (const auto& line : lines)
    if (startsWith(line, (hexOf(address) + L" (").c_str())) return &line;
  return nullptr;
}

std::wstring s_callbackTrace;

extern "C" void throwAndKeepTrace() {
  try {
    throw Exception(1051499, L"callback", L".\\src\\StackWalkerTest", 1, L"t");
  } catch (Exception& e) {
    s_callbackTrace = e.getStackTrace();
  }
}

// Generated code, as a JIT makes it, in a page of its own that no module maps:
// push %rbp; mov %rsp,%rbp; call *%rdi; pop %rbp; ret
const unsigned char kTrampoline[] = {0x55, 0x48, 0x89, 0xE5, 0xFF, 0xD7, 0x5D, 0xC3};
const std::size_t kReturnOffset = 6;

TEST_F(StackWalkerTest, FrameInGeneratedCodeBelongsToNoModule) {
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // Several pages, so that one of them lies next to a module's mapping.
  std::vector<void*> pages;
  for (int i = 0; i < 8; ++i) {
    void* page = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    std::memcpy(page, kTrampoline, sizeof kTrampoline);
    ASSERT_EQ(mprotect(page, size, PROT_READ | PROT_EXEC), 0);
    pages.push_back(page);
  }
  for (void* page : pages) {
    s_callbackTrace.clear();
    reinterpret_cast<void (*)(void (*)())>(page)(&throwAndKeepTrace);
    std::vector<std::wstring> lines = linesOf(s_callbackTrace);
    const std::uintptr_t returnAddress = reinterpret_cast<std::uintptr_t>(page) + kReturnOffset;
    const std::wstring* frame = lineAt(lines, returnAddress);
    ASSERT_NE(frame, nullptr) << s_callbackTrace;
    EXPECT_EQ(*frame, hexOf(returnAddress) +
                          L" ((module-name not available)): (filename not available): "
                          L"(function-name not available)");
    const std::wstring error = L"ERROR: SymGetModuleInfo64, GetLastError: " +
                               std::to_wstring(ENXIO) + L" (Address: " + hexOf(returnAddress) +
                               L")";
    EXPECT_NE(std::find(lines.begin(), lines.end(), error), lines.end()) << s_callbackTrace;
    // The walk goes on to the code that called into the page.
    EXPECT_NE(s_callbackTrace.find(L"FrameInGeneratedCodeBelongsToNoModule"), std::wstring::npos);
  }
  for (void* page : pages) munmap(page, size);
}

// A function without line information, placed among compiled functions that
// have it: the line before it belongs to another function.
extern "C" void kwtestCallWithoutLines(void (*callback)());
asm(R"(
  .text
  .globl kwtestCallWithoutLines
  .type kwtestCallWithoutLines, @function
kwtestCallWithoutLines:
  .cfi_startproc
  sub $8, %rsp
  .cfi_def_cfa_offset 16
  call *%rdi
  add $8, %rsp
  .cfi_def_cfa_offset 8
  ret
  .cfi_endproc
  .size kwtestCallWithoutLines, .-kwtestCallWithoutLines
)");

TEST_F(StackWalkerTest, LineIsPrintedOnlyForTheFunctionThatHoldsIt) {
  s_callbackTrace.clear();
  kwtestCallWithoutLines(&throwAndKeepTrace);
  std::vector<std::wstring> lines = linesOf(s_callbackTrace);
  const std::wstring* frame = nullptr;
  for (const auto& line : lines)
    if (line.find(L": kwtestCallWithoutLines") != std::wstring::npos) frame = &line;
  ASSERT_NE(frame, nullptr) << s_callbackTrace;
  EXPECT_NE(frame->find(L" (kwtest_errors): (filename not available): kwtestCallWithoutLines"),
            std::wstring::npos)
      << *frame;
  // The program's entry point has no lines either.
  const std::wstring& start = lines.back();
  if (start.find(L": _start") != std::wstring::npos)
    EXPECT_NE(start.find(L"(filename not available)"), std::wstring::npos) << start;
}

// Counts the connections made to a local port until stopped.
class CountingListener {
 public:
  CountingListener() {
    m_socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(m_socket, 16) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      while (!m_stop) {
        pollfd wait{m_socket, POLLIN, 0};
        if (poll(&wait, 1, 50) > 0) {
          int connection = accept(m_socket, nullptr, nullptr);
          if (connection >= 0) {
            ++m_connections;
            close(connection);
          }
        }
      }
    });
  }
  ~CountingListener() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_socket >= 0) close(m_socket);
  }
  int port() const { return m_port; }
  int connections() const { return m_connections; }

 private:
  int m_socket = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::thread m_thread;
};

KW_CHILD_MAIN(exceptionsWithDebugInfoServer) {
  alarm(120);
  // Every module's debug data is looked for at depth 2; most have none here.
  for (int i = 0; i < 2; ++i) Exception e(1, L"server", L"f", 1, L"g");
  std::thread([] { Exception e(1, L"thread", L"f", 1, L"g"); }).join();
  return 0;
}

TEST_F(StackWalkerTest, ExceptionNeverContactsDebugInfoServer) {
  CountingListener listener;
  ASSERT_NE(listener.port(), 0);
  kwtest::ScratchDir cache;
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  kwtest::setEnv("DEBUGINFOD_URLS", "http://127.0.0.1:" + std::to_string(listener.port()));
  kwtest::setEnv("DEBUGINFOD_CACHE_PATH", cache.path().string());
  kwtest::setEnv("DEBUGINFOD_TIMEOUT", "2");
  kwtest::ChildProcess child("exceptionsWithDebugInfoServer");
  kwtest::setEnv("DEBUGINFOD_URLS", "");
  kwtest::setEnv("DEBUGINFOD_CACHE_PATH", "");
  kwtest::setEnv("DEBUGINFOD_TIMEOUT", "");
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(listener.connections(), 0);
}
#endif

#if !defined(_WIN32)
// Where the loader finds a library, empty when it finds none.
std::string loadedPathOf(const char* library) {
  void* loaded = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!loaded) return "";
  link_map* map = nullptr;
  dlinfo(loaded, RTLD_DI_LINKMAP, &map);
  const std::string path = map ? map->l_name : "";
  dlclose(loaded);
  return path;
}

// args: a library to load. Its debug link names what the test put beside it.
KW_CHILD_MAIN(exceptionBesideDebugLink) {
  // A search that blocks ends the child here instead of hanging the test.
  alarm(30);
  if (!dlopen(args.at(0).c_str(), RTLD_NOW | RTLD_LOCAL)) return 3;
  Exception e(1, L"debug link", L"f", 1, L"g");
  return std::wstring(e.getStackTrace()).empty() ? 2 : 0;
}

// The debug file that a module's link names, beside it in a shared folder,
// is a FIFO or a link to an endless device: exceptions neither block on it
// nor read it.
TEST_F(StackWalkerTest, DebugLinkToAFifoOrDeviceDoesNotHang) {
  if (std::system("objcopy --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no objcopy";
  const std::string original = loadedPathOf("libz.so.1");
  if (original.empty()) GTEST_SKIP() << "no libz.so.1 to copy";
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  for (const char* planted : {"fifo", "/dev/zero"}) {
    SCOPED_TRACE(planted);
    kwtest::ScratchDir scratch;
    const std::string folder = scratch.path().string(), debug = folder + "/kwlinked.debug",
                      module = folder + "/libkwlinked.so";
    // A stripped copy whose link, in place of its own, names kwlinked.debug.
    const std::string make =
        "cd '" + folder + "' && objcopy --only-keep-debug '" + original +
        "' kwlinked.debug && objcopy --strip-debug --remove-section=" + ".gnu_debuglink '" +
        original + "' stripped.so && objcopy " +
        "--add-gnu-debuglink=kwlinked.debug stripped.so libkwlinked.so";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    ASSERT_EQ(unlink(debug.c_str()), 0);
    if (std::string(planted) == "fifo")
      ASSERT_EQ(mkfifo(debug.c_str(), 0600), 0);
    else
      ASSERT_EQ(symlink(planted, debug.c_str()), 0);
    kwtest::ChildProcess child("exceptionBesideDebugLink", {module});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 0);
  }
}

// args: a library to load, a folder to change to. The library calls back
// with the trace of an exception made inside it.
KW_CHILD_MAIN(exceptionAfterFolderChange) {
  alarm(30);
  void* library = dlopen(args.at(0).c_str(), RTLD_NOW | RTLD_LOCAL);
  auto call = library ? reinterpret_cast<void (*)(void (*)())>(dlsym(library, "kw_call")) : nullptr;
  if (!call) return 3;
  // The process's session starts here, before the change.
  if (std::wstring(Exception().getStackTrace()).empty()) return 2;
  if (chdir(args.at(1).c_str()) != 0) return 4;
  static std::wstring trace;
  call([] { trace = Exception().getStackTrace(); });
  for (const std::wstring& line : linesOf(trace))
    if (line.find(L": kw_call") != std::wstring::npos)
      return line.find(L"/kwcall.c (") != std::wstring::npos ? 0 : 1;
  return 5;
}

// The current folder is one of the places debug files are looked for in:
// a module first needed after the folder changed is looked for in the new
// one, though the session started before.
TEST_F(StackWalkerTest, ModuleFirstNeededAfterAFolderChangeIsLookedForInTheNewFolder) {
  if (std::system("cc --version >/dev/null 2>&1 && objcopy --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no cc or objcopy";
  kwtest::ScratchDir scratch, folder;
  const std::string module = scratch.path().string() + "/libkwcall.so";
  // Its debug file is where a place of the search path names it: the
  // place, then the module's folder.
  const std::string debugFolder = folder.path().string() + scratch.path().string();
  const std::string make =
      "cd '" + scratch.path().string() + "' && printf '%s\\n' " +
      "'void kw_call(void (*f)(void)) { f(); __asm__ volatile(\"\"); }' > kwcall.c && " +
      "cc -g -O0 -fPIC -shared -o full.so kwcall.c && " +
      "objcopy --only-keep-debug full.so kwcall.debug && " +
      "objcopy --strip-debug --add-gnu-debuglink=kwcall.debug full.so libkwcall.so && " +
      "mkdir -p '" + debugFolder + "' && mv kwcall.debug '" + debugFolder + "/'";
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  kwtest::ChildProcess child("exceptionAfterFolderChange", {module, folder.path().string()});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(), 0);
}
#endif

#if !defined(_WIN32)
// args: an ELF file to map, a library to load, a file for the trace. The
// first exception maps debug files (the cache's copies among them); the
// library makes the second start a session of its own.
KW_CHILD_MAIN(exceptionBesideMappedFiles) {
  alarm(60);
  const int fd = open(args.at(0).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) return 3;
  if (mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0) ==
      MAP_FAILED)
    return 4;
  if (std::wstring(Exception().getStackTrace()).empty()) return 2;
  if (!dlopen(args.at(1).c_str(), RTLD_NOW | RTLD_LOCAL)) return 5;
  const std::wstring trace = Exception().getStackTrace();
  FILE* out = std::fopen(args.at(2).c_str(), "w");
  if (!out) return 6;
  for (const std::wstring& line : linesOf(trace))
    if (line.find(L"), SymType: '") != std::wstring::npos) std::fprintf(out, "%ls\n", line.c_str());
  std::fclose(out);
  return 0;
}

// A session lists the modules the loader loaded, not every file the
// process maps: neither one the program maps itself nor the debug files a
// walk before it opened.
TEST_F(StackWalkerTest, ModuleListHoldsLoadedCodeOnly) {
  const std::string original = loadedPathOf("libz.so.1");
  if (original.empty()) GTEST_SKIP() << "no libz.so.1 to copy";
  kwtest::ScratchDir scratch;
  const std::string folder = scratch.path().string(), mapped = folder + "/kwmapped.elf",
                    library = folder + "/libkwfresh.so", modules = folder + "/modules";
  for (const std::string& copy : {mapped, library})
    ASSERT_EQ(std::system(("cp '" + original + "' '" + copy + "'").c_str()), 0);
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  kwtest::setEnv("XDG_CACHE_HOME", folder);
  kwtest::ChildProcess child("exceptionBesideMappedFiles", {mapped, library, modules});
  kwtest::setEnv("XDG_CACHE_HOME", "");
  ASSERT_TRUE(child.started());
  ASSERT_EQ(child.wait(), 0);
  std::FILE* in = std::fopen(modules.c_str(), "r");
  ASSERT_NE(in, nullptr);
  std::string list;
  for (int c; (c = std::fgetc(in)) != EOF;) list += static_cast<char>(c);
  std::fclose(in);
  EXPECT_NE(list.find("libkwfresh.so"), std::string::npos) << list;
  EXPECT_EQ(list.find("kwmapped.elf"), std::string::npos) << list;
  EXPECT_EQ(list.find("/kwbase/debug/"), std::string::npos) << list;
}
#endif

KW_CHILD_MAIN(exceptionWithoutDbgHelp) {
#if defined(_WIN32)
  if (HMODULE library = LoadLibraryW(L"dbghelp.dll")) {
    FreeLibrary(library);
    return 4;
  }
#endif
  Exception e(1, L"no dbghelp", L"f", 1, L"g");
  std::wstring text = e.getStackTrace();
  if (!text.empty()) return 2;
  StackWalker walker;
  if (!walker.ShowCallstack(kw::os::thisThread()).empty()) return 3;
  return 0;
}

TEST(StackWalkerWithoutDbgHelp, ExceptionHasAnEmptyTrace) {
#if defined(_WIN32)
  const char* overrides = std::getenv("WINEDLLOVERRIDES");
  if (!overrides) GTEST_SKIP() << "not under Wine: dbghelp.dll cannot be taken away";
  std::string before = overrides;
  kwtest::setEnv("WINEDLLOVERRIDES", before + ";dbghelp=");
  kwtest::ChildProcess child("exceptionWithoutDbgHelp");
  kwtest::setEnv("WINEDLLOVERRIDES", before);
  ASSERT_TRUE(child.started());
  const int code = child.wait();
  if (code == 4)
    GTEST_SKIP() << "Wine still loads dbghelp.dll in a child started with dbghelp= "
                    "in WINEDLLOVERRIDES";
  EXPECT_EQ(code, 0);
#else
  GTEST_SKIP() << "libdw and libunwind are linked: there is no library to take away";
#endif
}

}  // namespace
