// Library set-up for a daemon that owns switches (warderd).
#pragma once

// Remembers the daemon's settings path (read back by zunswitch_init) and its
// socket path (put into the elements it registers). 0 on success.
int zunlib_init(const char *settings_path, const char *socket_path);
const char *zunlib_settings_path(void);
const char *zunlib_socket_path(void);
