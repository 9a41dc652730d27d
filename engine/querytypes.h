// The querytype table of the XML interface: one constant row per command,
// in the order the names are tested.
#pragma once
#include <cstddef>
#include <span>

#include "forward.h"
#include "rights.h"

struct qt_row {
  const char *name;          // compared without regard to case
  int section;               // SEC_NONE: no rights check
  int level;                 // LEVEL_READ or LEVEL_WRITE
  qt_handler handler;        // run after the checks passed
  const fwd_command *cmd;    // handed to the handler (forward_handler runs it)
  int section2 = SEC_NONE;   // a second check, made only after the first passed
  int level2 = LEVEL_READ;
};

// The table, in the order tested.
std::span<const qt_row> querytype_table();

// The first row whose name equals `querytype` without regard to case, or null.
const qt_row *querytype_find(const char *querytype);

// The XML interface role: header block, body, querytype, rights, handler.
int xml_interface();

// The header block that opens every response of the XML interface.
void print_xml_headers();
