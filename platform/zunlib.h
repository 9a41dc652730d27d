// Library set-up for a daemon that owns switches (warderd).
#pragma once

// Remembers the daemon's settings path (read back by zunswitch_init) and its
// socket path (put into the elements it registers). 0 on success.
// settings_path is used as given, ready to open (the daemon has already
// mapped its default path under the root); socket_path is written as the
// receivers expect it (not mapped). A path too long to keep is refused (-1).
int zunlib_init(const char *settings_path, const char *socket_path);
const char *zunlib_settings_path(void);
const char *zunlib_socket_path(void);
