// The command table of warderd: 18 tags in their fixed order, and the savers
// of the save command (the power switch).
#pragma once
#include <cstddef>

#include "daemon.h"
#include "xmlhelpers.h"

extern const xml_tag_table warderd_tags;
extern const daemon_saver warderd_savers[];
extern const size_t warderd_saver_count;
