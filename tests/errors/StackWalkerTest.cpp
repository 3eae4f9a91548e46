// Stack traces of exceptions and walkers: their lines, the depth setting,
// the walks from given contexts and where debug files are (not) looked for.
#include <gtest/gtest.h>
#include <kw/Exception.h>
#include <kw/Registry.h>
#include <kw/StackWalker.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "os/StackWalking.h"
#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/SettingsArea.h"
#include "support/SwitchSetting.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <thread>

#include "support/ScratchDir.h"
#endif

using kw::Exception;
using kw::StackWalker;
using Lines = std::vector<std::wstring>;

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

Lines linesOf(const std::wstring& text) {
  Lines lines;
  for (std::size_t start = 0, end; (end = text.find(L"\r\r\n", start)) != std::wstring::npos;
       start = end + 3)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

bool startsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The first line holding `part`, or null.
const std::wstring* lineWith(const Lines& lines, const std::wstring& part) {
  for (const auto& line : lines)
    if (line.find(part) != std::wstring::npos) return &line;
  return nullptr;
}

std::size_t countWith(const Lines& lines, const std::wstring& part) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::wstring& line) { return line.find(part) != line.npos; });
}

// Module lines are the only ones holding this.
const wchar_t kModuleMark[] = L"), SymType: '";

std::size_t engineLines(const std::wstring& trace) {
  return countWith(linesOf(trace), L"SymInit: ");
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
  Lines lines = linesOf(text);
  ASSERT_TRUE(startsWith(lines.at(0), L"OS-Version: ")) << text;
  EXPECT_EQ(countWith(lines, L"SymInit: ") + countWith(lines, kModuleMark), 0u);

  const std::wstring* frame = lineWith(lines, L"throwFromKnownFunction");
  ASSERT_NE(frame, nullptr) << text;
#if defined(_WIN32)
  if (frame->find(L"(filename not available)") != std::wstring::npos)
    GTEST_SKIP() << "this dbghelp resolves no lines for mingw code: " << *frame;
#endif
  std::wstring fileAndLine =
      std::wstring(kTestSource) + L" (" + std::to_wstring(s_knownLine) + L"): ";
  EXPECT_NE(frame->find(fileAndLine), std::wstring::npos) << *frame;
  // The caller follows its callee.
  std::size_t caller = text.find(L"traceOfKnownThrow");
  EXPECT_NE(caller, std::wstring::npos) << text;
  EXPECT_LT(text.find(L"throwFromKnownFunction"), caller);
}

KW_CHILD_MAIN(writeTraceDepth) {
  kw::Registry settings(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  return settings.write(L"StackTraceInfoDepth", std::stoi(args.at(0))) ? 0 : 1;
}

// The depth is remembered between exceptions, yet a change takes effect on
// the very next one: written by another process, or twice in quick
// succession with values of the same size. Only 2 adds lines.
TEST_F(StackWalkerTest, DepthChangeShowsInTheNextException) {
  const std::size_t plain = linesOf(traceOfKnownThrow()).size();
  EXPECT_EQ(engineLines(traceOfKnownThrow()), 0u);
  for (const char* value : {"2", "1", "2"}) {
    ASSERT_EQ(kwtest::ChildProcess("writeTraceDepth", {value}).wait(), 0);
    EXPECT_EQ(engineLines(traceOfKnownThrow()), value[0] == '2' ? 1u : 0u) << value;
  }
  kw::Registry settings(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  for (int value : {1, 2, 3, 2, 1, 2, -2, 2}) {
    ASSERT_TRUE(settings.write(L"StackTraceInfoDepth", value));
    const std::wstring trace = traceOfKnownThrow();
    EXPECT_EQ(engineLines(trace), value == 2 ? 1u : 0u) << value;
    if (value != 2) EXPECT_EQ(linesOf(trace).size(), plain) << value;
  }
  ASSERT_TRUE(settings.deleteValue(L"StackTraceInfoDepth"));
  EXPECT_EQ(engineLines(traceOfKnownThrow()), 0u);
}

// At depth 2 a trace starts with the symbol engine's line and one line per
// module, the test program's among them, before any frame. Every walker of
// one module set writes the same lines, whether it started the symbol engine
// or took it over; a new module shows.
TEST_F(StackWalkerTest, DepthTwoAddsEngineAndModuleLinesThatFollowNewModules) {
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  std::wstring traces[2];
  for (std::wstring& trace : traces) trace = traceOfKnownThrow();
  EXPECT_EQ(traces[0], traces[1]);
  Lines lines = linesOf(traces[0]);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(startsWith(lines[0], L"SymInit: Symbol-SearchPath: '")) << lines[0];
  EXPECT_NE(lines[0].find(L"', symOptions: "), std::wstring::npos);
  EXPECT_NE(lines[0].find(L", UserName: '"), std::wstring::npos);
  EXPECT_TRUE(startsWith(lines[1], L"OS-Version: ")) << lines[1];
  const std::size_t modules = countWith(lines, kModuleMark);
  EXPECT_GE(modules, 3u);
  for (std::size_t i = 2; i < 2 + modules; ++i)
    EXPECT_NE(lines[i].find(kModuleMark), std::wstring::npos) << lines[i];
  const std::wstring* program = lineWith(lines, L"kwtest_errors");
  ASSERT_NE(program, nullptr);
  EXPECT_NE(program->find(kModuleMark), std::wstring::npos) << *program;
  EXPECT_NE(lineWith(lines, L"throwFromKnownFunction"), nullptr);

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
  EXPECT_GT(countWith(linesOf(later), kModuleMark), modules);
  std::wstring name = L":" + std::wstring(library, library + std::strlen(library));
  EXPECT_EQ(traces[1].find(name), std::wstring::npos);
  EXPECT_NE(later.find(name), std::wstring::npos) << later;
#if defined(_WIN32)
  FreeLibrary(handle);
#else
  dlclose(handle);
#endif
}

// Records what the symbol engine reported, a line per call, the entry
// types and the text it is handed.
class RecordingWalker : public StackWalker {
 public:
  using StackWalker::StackWalker;
  std::vector<std::string> starts, modules;
  std::wstring types, output;
  std::size_t outputs = 0;

 protected:
  void OnSymInit(const char* path, std::uint32_t options, const char* user) override {
    starts.push_back(std::string(path) + "|" + std::to_string(options) + "|" + user);
    StackWalker::OnSymInit(path, options, user);
  }
  void OnLoadModule(const char* image, const char* name, std::uint64_t base, std::uint32_t size,
                    std::uint32_t result, const char* symType, const char* debugFile,
                    std::uint64_t version) override {
    modules.push_back(std::string(image) + "|" + name + "|" + std::to_string(base) + "|" +
                      std::to_string(size) + "|" + std::to_string(result) + "|" + symType + "|" +
                      debugFile + "|" + std::to_string(version));
    StackWalker::OnLoadModule(image, name, base, size, result, symType, debugFile, version);
  }
  void OnCallstackEntry(CallstackEntryType type, CallstackEntry& entry) override {
    types += L"FNL"[type];
    StackWalker::OnCallstackEntry(type, entry);
  }
  void OnOutput(const char* text) override {
    output += std::wstring(text, text + std::strlen(text));
    ++outputs;
    StackWalker::OnOutput(text);
  }
};

// A walker's first walk starts with the OS-Version line, the later ones
// write only the frames. A plain walker writes a frame it met before from
// the line it kept; one that sees every entry writes the same text, which is
// what its output got, a line per call.
TEST_F(StackWalkerTest, EntriesOutputAndKeptFrameLines) {
  StackWalker first, second;
  RecordingWalker recording;
  std::vector<std::wstring> texts;
  StackWalker* const walkers[] = {&first, &second, &recording, &first, &recording};
  for (StackWalker* walker : walkers) texts.push_back(walker->ShowCallstack(kw::os::thisThread()));
  ASSERT_FALSE(texts[3].empty());
  EXPECT_TRUE(startsWith(texts[0], L"OS-Version: ")) << texts[0];
  EXPECT_FALSE(startsWith(texts[3], L"OS-Version: ")) << texts[3];
  EXPECT_EQ(texts[1], texts[0]);
  EXPECT_EQ(texts[2], texts[0]);
  EXPECT_EQ(texts[4], texts[3]);
  ASSERT_GT(texts[0].size(), texts[3].size());
  EXPECT_EQ(texts[0].substr(texts[0].size() - texts[3].size()), texts[3]);

  // Each walk: First, then Next, with at most one Last, which writes nothing.
  EXPECT_TRUE(std::regex_match(recording.types, std::wregex(L"(FN+L?){2}")));
  EXPECT_EQ(recording.output, texts[2] + texts[4]);
  EXPECT_EQ(linesOf(recording.output).size(), recording.outputs);
}

// A walker that takes the process's symbol session over hears what starting
// it reported and a note of every module, even when the walker that started
// it wanted no module notes; so does the next one. A search path of its own
// comes first even without its option, and only in its own session.
TEST_F(StackWalkerTest, WalkerTakingOverTheSessionHearsWhatItsStartReported) {
  StackWalker(0, "kw-own").ShowCallstack(kw::os::thisThread());
  RecordingWalker taking(0, "kw-own"), again(0, "kw-own"), bare(0);
  for (RecordingWalker* walker : {&taking, &again, &bare})
    EXPECT_FALSE(walker->ShowCallstack(kw::os::thisThread()).empty());
  ASSERT_EQ(taking.starts.size(), 1u);
  EXPECT_EQ(taking.starts[0].rfind("kw-own;.;", 0), 0u) << taking.starts[0];
  EXPECT_EQ(again.starts, taking.starts);
  EXPECT_GE(taking.modules.size(), 3u);
  EXPECT_EQ(std::count_if(taking.modules.begin(), taking.modules.end(),
                          [](const std::string& note) {
                            return note.find("|kwtest_errors") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(again.modules, taking.modules);
  ASSERT_EQ(bare.starts.size(), 1u);
  EXPECT_EQ(bare.starts[0].find("kw-own"), std::string::npos) << bare.starts[0];
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
  Lines lines = linesOf(s_comparatorTrace);
  const std::wstring* comparator = lineWith(lines, L"compareAndCapture");
  ASSERT_NE(comparator, nullptr) << s_comparatorTrace;
  // Between the comparator and this test, the C library's sorting frames.
  Lines below(lines.begin() + (comparator - lines.data()) + 1, lines.end());
  const std::wstring* library = lineWith(below, L"(filename not available)");
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
__attribute__((noinline)) std::wstring walkFromHere() {
#if defined(_WIN32)
  CONTEXT context;
  RtlCaptureContext(&context);
#else
  ucontext_t context;
  getcontext(&context);
#endif
  return StackWalker().ShowCallstack(kw::os::thisThread(), &context);
}

TEST_F(StackWalkerTest, WalkStartsAtGivenContext) {
  Lines lines = linesOf(walkFromHere());
  ASSERT_GE(lines.size(), 3u);
  // The first frame is the one that captured the context, not the walker's.
  EXPECT_NE(lines[1].find(L"walkFromHere"), std::wstring::npos) << lines[1];
  if (lines[1].find(L"(filename not available)") == std::wstring::npos)
    EXPECT_NE(lines[1].find(kTestSource), std::wstring::npos) << lines[1];
  EXPECT_NE(lines[2].find(L"WalkStartsAtGivenContext"), std::wstring::npos) << lines[2];
}

#if !defined(_WIN32) && defined(__x86_64__)
// An address as a frame line starts with it.
std::wstring hexOf(std::uintptr_t address) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%08X (", static_cast<unsigned>(address));
  return text;
}

std::wstring s_callbackTrace;

extern "C" void throwAndKeepTrace() {
  s_callbackTrace = Exception(1051499, L"callback", L"f", 1, L"t").getStackTrace();
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
    pages.push_back(page);
    std::memcpy(page, kTrampoline, sizeof kTrampoline);
    ASSERT_EQ(mprotect(page, size, PROT_READ | PROT_EXEC), 0);
  }
  for (void* page : pages) {
    reinterpret_cast<void (*)(void (*)())>(page)(&throwAndKeepTrace);
    Lines lines = linesOf(s_callbackTrace);
    const std::wstring at = hexOf(reinterpret_cast<std::uintptr_t>(page) + kReturnOffset);
    auto frame = std::find_if(lines.begin(), lines.end(),
                              [&](const std::wstring& line) { return startsWith(line, at); });
    ASSERT_NE(frame, lines.end()) << s_callbackTrace;
    EXPECT_EQ(*frame, at + L"(module-name not available)): (filename not available): "
                           L"(function-name not available)");
    const std::wstring error = L"ERROR: SymGetModuleInfo64, GetLastError: " +
                               std::to_wstring(ENXIO) + L" (Address: " +
                               at.substr(0, at.size() - 2) + L")";
    EXPECT_NE(std::find(lines.begin(), lines.end(), error), lines.end()) << s_callbackTrace;
    // The walk goes on to the code that called into the page.
    EXPECT_NE(lineWith(lines, L"FrameInGeneratedCodeBelongsToNoModule"), nullptr);
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
  kwtestCallWithoutLines(&throwAndKeepTrace);
  Lines lines = linesOf(s_callbackTrace);
  const std::wstring* frame = lineWith(lines, L": kwtestCallWithoutLines");
  ASSERT_NE(frame, nullptr) << s_callbackTrace;
  EXPECT_NE(frame->find(L" (kwtest_errors): (filename not available): kwtestCallWithoutLines"),
            std::wstring::npos)
      << *frame;
  // The program's entry point has no lines either.
  if (lines.back().find(L": _start") != std::wstring::npos)
    EXPECT_NE(lines.back().find(L"(filename not available)"), std::wstring::npos) << lines.back();
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
  const std::wstring* frame = lineWith(linesOf(trace), L": kw_call");
  return !frame ? 5 : frame->find(L"/kwcall.c (") != std::wstring::npos ? 0 : 1;
}

// The current folder is one of the places debug files are looked for in:
// a module first needed after the folder changed is looked for in the new
// one, though the session started before.
TEST_F(StackWalkerTest, ModuleFirstNeededAfterAFolderChangeIsLookedForInTheNewFolder) {
  if (std::system("cc --version >/dev/null 2>&1 && objcopy --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no cc or objcopy";
  kwtest::ScratchDir scratch, folder;
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
  EXPECT_EQ(
      kwtest::ChildProcess("exceptionAfterFolderChange",
                           {scratch.path().string() + "/libkwcall.so", folder.path().string()})
          .wait(),
      0);
}

// args: an ELF file to map, a library to load. The first exception maps
// debug files (the cache's copies among them); the library makes the last
// start a session of its own.
KW_CHILD_MAIN(exceptionsBesideOddFiles) {
  // A search that blocks ends the child here instead of hanging the test.
  alarm(30);
  const int fd = open(args.at(0).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) return 3;
  if (mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0) ==
      MAP_FAILED)
    return 4;
  if (std::wstring(Exception().getStackTrace()).empty()) return 2;
  std::thread([] { Exception e(1, L"thread", L"f", 1, L"g"); }).join();
  if (!dlopen(args.at(1).c_str(), RTLD_NOW | RTLD_LOCAL)) return 5;
  Lines modules = linesOf(Exception().getStackTrace());
  modules.erase(std::remove_if(modules.begin(), modules.end(),
                               [](const std::wstring& line) {
                                 return line.find(kModuleMark) == std::wstring::npos;
                               }),
                modules.end());
  if (!lineWith(modules, L"libkwlinked.so")) return 6;
  if (lineWith(modules, L"kwmapped.elf")) return 7;
  return lineWith(modules, L"/kwbase/debug/") ? 8 : 0;
}

// Odd files around the modules: the debug file a module's link names,
// beside it in a shared folder, is a FIFO or a link to an endless device;
// the program maps an ELF file itself; the environment names a debug-info
// server. Exceptions neither block on nor read the debug file, list only
// the modules the loader loaded (not the mapped file, nor the debug files a
// walk before opened) and never contact the server.
TEST_F(StackWalkerTest, OddFilesAroundTheModulesAreLeftAlone) {
  if (std::system("objcopy --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no objcopy";
  const std::string original = loadedPathOf("libz.so.1");
  if (original.empty()) GTEST_SKIP() << "no libz.so.1 to copy";
  // A connection would wait, accepted by the kernel, in the listener's queue.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 64), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  kwtest::SwitchSetting depth(L"StackTraceInfoDepth", 2);
  for (const char* planted : {"fifo", "/dev/zero"}) {
    SCOPED_TRACE(planted);
    kwtest::ScratchDir scratch;
    const std::string folder = scratch.path().string(), debug = folder + "/kwlinked.debug";
    // A stripped copy whose link, in place of its own, names kwlinked.debug.
    const std::string make =
        "cd '" + folder + "' && cp '" + original + "' kwmapped.elf && objcopy --only-keep-debug '" +
        original + "' kwlinked.debug && objcopy --strip-debug --remove-section=.gnu_debuglink '" +
        original + "' stripped.so && objcopy --add-gnu-debuglink=kwlinked.debug stripped.so " +
        "libkwlinked.so";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    ASSERT_EQ(unlink(debug.c_str()), 0);
    ASSERT_EQ(std::string(planted) == "fifo" ? mkfifo(debug.c_str(), 0600)
                                             : symlink(planted, debug.c_str()),
              0);
    kwtest::ScopedEnv urls("DEBUGINFOD_URLS",
                           "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    kwtest::ScopedEnv path("DEBUGINFOD_CACHE_PATH", folder);
    kwtest::ScopedEnv timeout("DEBUGINFOD_TIMEOUT", "2");
    kwtest::ScopedEnv cache("XDG_CACHE_HOME", folder);
    EXPECT_EQ(kwtest::ChildProcess("exceptionsBesideOddFiles",
                                   {folder + "/kwmapped.elf", folder + "/libkwlinked.so"})
                  .wait(),
              0);
  }
  EXPECT_LT(accept(listener, nullptr, nullptr), 0);
  close(listener);
}
#endif

KW_CHILD_MAIN(exceptionWithoutDbgHelp) {
#if defined(_WIN32)
  if (HMODULE library = LoadLibraryW(L"dbghelp.dll")) {
    FreeLibrary(library);
    return 4;
  }
#endif
  if (!std::wstring(Exception().getStackTrace()).empty()) return 2;
  return StackWalker().ShowCallstack(kw::os::thisThread()).empty() ? 0 : 3;
}

TEST(StackWalkerWithoutDbgHelp, ExceptionHasAnEmptyTrace) {
#if defined(_WIN32)
  const char* overrides = std::getenv("WINEDLLOVERRIDES");
  if (!overrides) GTEST_SKIP() << "not under Wine: dbghelp.dll cannot be taken away";
  int code;
  {
    kwtest::ScopedEnv without("WINEDLLOVERRIDES", std::string(overrides) + ";dbghelp=");
    code = kwtest::ChildProcess("exceptionWithoutDbgHelp").wait();
  }
  if (code == 4)
    GTEST_SKIP() << "Wine still loads dbghelp.dll in a child started with dbghelp= "
                    "in WINEDLLOVERRIDES";
  EXPECT_EQ(code, 0);
#else
  GTEST_SKIP() << "libdw and libunwind are linked: there is no library to take away";
#endif
}

}  // namespace
