// A row of a notifier list: the list's container (ordered by element id) is
// the container the notifier's SNMP table serves, so the row begins with its
// index (one sub-identifier, the element id) as the table helper expects.
#pragma once
#include <cstdint>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

struct notifier;

struct table_row {
  netsnmp_index index;   // points at index_oid
  oid index_oid[1];
  uint32_t id;
  notifier *record;      // null in a row that holds no notifier (an SNMP set's)
};
