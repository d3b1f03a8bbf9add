// Trying the display before Qt is asked for it.
#include "app/display_probe.h"

#include "app/app_texts.h"
#include "lib/text/fmt.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

std::string WaylandSocketPath() {
  const char* name = Env("WAYLAND_DISPLAY");
  if (!name) return {};
  if (name[0] == '/') return name;
  const char* runtime = Env("XDG_RUNTIME_DIR");
  return runtime ? std::string(runtime) + "/" + name : std::string();
}

std::string Unreachable(const char* variable) {
  return FmtString(kDisplayUnreachableFormat, variable, Env(variable) ? Env(variable) : "");
}

}  // namespace

bool ProbeX11Display(const char* display) {
  if (!display && !Env("DISPLAY")) return false;
  // Loaded, not linked: the program without libxcb still runs its jobs.
  void* lib = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  using ConnectFn = void* (*)(const char*, int*);
  using HasErrorFn = int (*)(void*);
  using DisconnectFn = void (*)(void*);
  const auto connect = reinterpret_cast<ConnectFn>(::dlsym(lib, "xcb_connect"));
  const auto hasError = reinterpret_cast<HasErrorFn>(::dlsym(lib, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<DisconnectFn>(::dlsym(lib, "xcb_disconnect"));
  bool ok = false;
  if (connect && hasError && disconnect) {
    void* connection = connect(display, nullptr);
    ok = connection && hasError(connection) == 0;
    // A failed connection is an object too, freed the same way.
    if (connection) disconnect(connection);
  }
  ::dlclose(lib);
  return ok;
}

bool ProbeWaylandDisplay() {
  const std::string path = WaylandSocketPath();
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

DisplayProbe ProbeDisplay() {
  DisplayProbe probe;
  if (const char* platforms = Env("QT_QPA_PLATFORM")) {
    // Qt takes the names in order, each with its options after ":".
    std::string_view rest = platforms;
    while (!rest.empty()) {
      const std::size_t semicolon = rest.find(';');
      const std::string_view entry = rest.substr(0, semicolon);
      rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
      const std::string_view name = entry.substr(0, entry.find(':'));
      if (name.empty()) continue;
      if (name == "xcb") {
        if (ProbeX11Display()) probe.reachable = true;
        else if (probe.reason.empty()) probe.reason = Unreachable("DISPLAY");
      } else if (name.starts_with("wayland")) {
        if (ProbeWaylandDisplay()) probe.reachable = true;
        else if (probe.reason.empty()) probe.reason = Unreachable("WAYLAND_DISPLAY");
      } else {
        probe.reachable = true;  // nothing to connect to (offscreen, vnc, ...)
      }
      if (probe.reachable) {
        probe.reason.clear();
        return probe;
      }
    }
    return probe;
  }
  if (ProbeX11Display()) {
    probe.reachable = true;
    probe.platform = "xcb";
  } else if (ProbeWaylandDisplay()) {
    probe.reachable = true;
    probe.platform = "wayland";
  } else if (Env("DISPLAY")) {
    probe.reason = Unreachable("DISPLAY");
  } else if (Env("WAYLAND_DISPLAY")) {
    probe.reason = Unreachable("WAYLAND_DISPLAY");
  }
  return probe;
}
