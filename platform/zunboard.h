// Board type, read from /mnt/jffs/etc/devtype (the type's name).
#pragma once

inline constexpr const char *DEVTYPE_PATH = "/mnt/jffs/etc/devtype";

// 0 "base", 1 "lite", 2 "plus", 3 "pro", 4 "max", 5 "mini"; a missing file or
// unknown name reads as 0.
int zunboard_type_get(void);
const char *zunboard_type_name(void);

// Stores a known type name (compared without regard to case); 0 when stored,
// -1 for an unknown name or a failed write.
int zunboard_save_devtype(const char *name);
