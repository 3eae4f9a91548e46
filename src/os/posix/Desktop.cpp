// The active window and its process on Linux, asked of the X server through libX11 loaded at run
// time. Twin: src/os/win32/Desktop.cpp.
#include "os/Desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace kw::os {

namespace {

// libX11 is bound at run time: the library must load on machines without X.
struct XLib {
  decltype(&XOpenDisplay) openDisplay;
  decltype(&XCloseDisplay) closeDisplay;
  decltype(&XDefaultRootWindow) defaultRootWindow;
  decltype(&XInternAtom) internAtom;
  decltype(&XGetWindowProperty) getWindowProperty;
  decltype(&XFree) free;
  decltype(&XSetErrorHandler) setErrorHandler;
};

template <typename Function>
bool bind(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

// Loaded once and kept: unloading Xlib under a process that may use it too is not safe.
const XLib* xlib() {
  static XLib api{};
  static const bool loaded = [] {
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    bool complete = bind(library, "XOpenDisplay", api.openDisplay) &&
                    bind(library, "XCloseDisplay", api.closeDisplay) &&
                    bind(library, "XDefaultRootWindow", api.defaultRootWindow) &&
                    bind(library, "XInternAtom", api.internAtom) &&
                    bind(library, "XGetWindowProperty", api.getWindowProperty) &&
                    bind(library, "XFree", api.free) &&
                    bind(library, "XSetErrorHandler", api.setErrorHandler);
    if (!complete) dlclose(library);
    return complete;
  }();
  return loaded ? &api : nullptr;
}

int ignoreError(Display*, XErrorEvent*) { return 0; }

// One short conversation with the X server. The active window may be gone
// by the time it is read, and Xlib's default error handler ends the process
// on such an error, so errors are ignored while the conversation lasts. The
// handler is process-wide: conversations are serialised so that each puts
// back the handler it found.
class Conversation {
 public:
  Conversation() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display || !(m_pXLib = xlib())) return;
    m_lock = std::unique_lock<std::mutex>(mutex());
    m_pPrevious = m_pXLib->setErrorHandler(&ignoreError);
    m_pDisplay = m_pXLib->openDisplay(nullptr);
  }
  ~Conversation() {
    if (m_pDisplay) m_pXLib->closeDisplay(m_pDisplay);
    if (m_lock.owns_lock()) m_pXLib->setErrorHandler(m_pPrevious);
  }
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  explicit operator bool() const { return m_pDisplay != nullptr; }
  Window root() const { return m_pXLib->defaultRootWindow(m_pDisplay); }

  // The first 32-bit item of a window property of that type; false when the
  // window, the property or the atom does not exist.
  bool readProperty(Window window, const char* name, Atom type, unsigned long& value) const {
    Atom property = m_pXLib->internAtom(m_pDisplay, name, True);
    if (property == None) return false;
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    int status = m_pXLib->getWindowProperty(m_pDisplay, window, property, 0, 1, False, type,
                                            &actualType, &format, &count, &remaining, &data);
    bool found = status == Success && actualType == type && format == 32 && count >= 1 && data;
    // Xlib hands 32-bit items back as longs.
    if (found) value = reinterpret_cast<const unsigned long*>(data)[0];
    if (data) m_pXLib->free(data);
    return found;
  }

 private:
  static std::mutex& mutex() {
    static std::mutex conversations;
    return conversations;
  }

  const XLib* m_pXLib = nullptr;
  std::unique_lock<std::mutex> m_lock;
  XErrorHandler m_pPrevious = nullptr;
  Display* m_pDisplay = nullptr;
};

}  // namespace

HWND foregroundWindow() {
  Conversation x;
  unsigned long window = 0;
  if (!x || !x.readProperty(x.root(), "_NET_ACTIVE_WINDOW", XA_WINDOW, window)) return nullptr;
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

unsigned long windowProcessId(HWND window) {
  if (!window) return 0;
  Conversation x;
  unsigned long process = 0;
  if (!x) return 0;
  Window id = static_cast<Window>(reinterpret_cast<std::uintptr_t>(window));
  if (!x.readProperty(id, "_NET_WM_PID", XA_CARDINAL, process)) return 0;
  return process;
}

namespace {

// The process ID, asked of the kernel once per process: every exception
// passes it to its walker.
std::atomic<pid_t> s_processId{0};

void forgetProcessId() { s_processId.store(0, std::memory_order_relaxed); }

}  // namespace

unsigned long currentProcessId() {
  pid_t id = s_processId.load(std::memory_order_relaxed);
  if (id == 0) {
    static const bool forgottenInChildren = pthread_atfork(nullptr, nullptr, &forgetProcessId) == 0;
    (void)forgottenInChildren;
    id = getpid();
    s_processId.store(id, std::memory_order_relaxed);
  }
  return static_cast<unsigned long>(id);
}

}  // namespace kw::os
