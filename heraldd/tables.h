// The notifier lists as SNMP tables under .1.3.6.1.4.1.99999.2: mails (.1,
// columns 1 to 14), traps (.2, columns 1 to 11) and SMS (.3, columns 1 to 9),
// one row per notifier indexed by its element id (one INTEGER). The rows are
// the lists' own rows: the container of a list is the container of its table.
//
// Columns 1 to 7 are alike in every table: id, module, num (INTEGER), type
// text, name, state text and value as decimal text (OCTET STRING). The
// columns after them are the kind's configuration fields (mibs/ describes
// them). Name and the configuration columns are writable: a set is checked
// against the field's type and width, applied through the notifier's setters
// in the action phase (a new name goes to the element database), never saved
// and never fires a notifier. A manager cannot add or delete rows: a set for
// an id that no notifier has is refused with noCreation.
#pragma once

struct notifier_list;

// Register the table of one list over the list's container (run by the
// list's creation, after the container exists). 0, or -1 (logged) when the
// table was registered before or no memory was left.
int initialize_table_zunmails(void);
int initialize_table_zunsms(void);
int initialize_table_zuntraps(void);

// The registration above that belongs to the list.
int notifier_table_initialize(notifier_list &list);
