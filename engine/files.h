// What the file endpoints share: the files they serve and the language file
// names they accept.
#pragma once
#include <cstddef>

inline constexpr const char *FILE_MAP = "/mnt/jffs/etc/map";
inline constexpr const char *FILE_KEYS_DB = "/mnt/jffs/etc/access.sqlite";
inline constexpr const char *FILE_SETTINGS_ARCHIVE = "/var/tmp/settings.orv";
inline constexpr const char *FILE_FIRMWARE = "/var/tmp/firmware.zun";
inline constexpr const char *FILE_PICTURE = "/tmp/picture.jpg";
inline constexpr const char *LANGUAGE_DIR = "/mnt/jffs/etc/languages/";
// Where an uploaded language file waits until stewardd moves it into place:
// a folder of the upload's own, so that an upload can never take the place
// of another program's file under /tmp (a socket, the camera picture).
inline constexpr const char *LANGUAGE_UPLOAD_DIR = "/tmp/upload-language/";
inline constexpr const char *LANGUAGE_SUFFIX = ".xml";  // what an upload's name must end in
inline constexpr size_t LANGUAGE_PATH_SIZE = 270;  // at most 269 characters

// The path `dir` + `name` of a language file, into out. False, with out
// empty, when the name is refused: null or empty, "." or holding "..", any
// character but letters, digits, '.', '_' and '-' (so no path separator and
// nothing that a shell reads: stewardd's shell gets the name), or making
// LANGUAGE_DIR + name longer than 269 characters (the longest of the dirs).
bool language_path(const char *dir, const char *name, char (&out)[LANGUAGE_PATH_SIZE]);
