// Library set-up for a daemon that owns switches: the two paths the switch
// code needs, kept for the life of the process.
#include "zunlib.h"

#include "zun_text.h"

#include <mutex>

namespace {

// Settings paths and socket paths of the system are far shorter.
char g_settings[512];
char g_socket[128];
std::mutex g_lock;

}  // namespace

int zunlib_init(const char *settings_path, const char *socket_path)
{
  std::lock_guard<std::mutex> hold(g_lock);
  const char *settings = settings_path ? settings_path : "";
  const char *socket = socket_path ? socket_path : "";
  // A cut path would name another file: refuse it instead.
  if (strlcpy(g_settings, settings, sizeof g_settings) >= sizeof g_settings ||
      strlcpy(g_socket, socket, sizeof g_socket) >= sizeof g_socket) {
    g_settings[0] = '\0';
    g_socket[0] = '\0';
    return -1;
  }
  return 0;
}

const char *zunlib_settings_path(void)
{
  return g_settings;
}

const char *zunlib_socket_path(void)
{
  return g_socket;
}
