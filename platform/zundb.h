// Element database client (registryd on /tmp/registryd.socket), and the
// class, type and state texts of modules and elements.
#pragma once
#include <cstddef>

inline constexpr const char *REGISTRYD_SOCKET = "/tmp/registryd.socket";

// Database item: the record of every zundb_ call. Text fields point at the
// caller's texts (null reads as ""). For the socket lookups `socket` points at
// the caller's buffer of socket_size bytes (32 when socket_size is 0).
struct zundb_item {
  int kind;            // internal kind: 2 notifier list, 3 readers, ...
  int count;           // count field (elements the module starts with)
  int module_num;      // module number within its daemon
  int module_id;       // -1: to be assigned
  int element_num;     // element number within its module
  int element_id;
  const char *clas;
  const char *type;    // type text (module: kind text)
  const char *name;
  const char *state;
  const char *value;
  char *socket;        // owner socket path, or the lookup's output buffer
  size_t socket_size;
};

void zundb_item_init(zundb_item *item);

// Register a module / element; 0 on success with the new id in
// item->module_id / item->element_id, negative otherwise.
int zundb_module_add(zundb_item *item);
int zundb_element_add(zundb_item *item);

// Change the element item->element_id: state and value when item->state is
// set, name when item->name is set. 0 on success.
int zundb_element_update(zundb_item *item);

int zundb_element_delete(zundb_item *item);  // by element_id
int zundb_module_delete(zundb_item *item);   // by module_id

// Socket path of the daemon serving module item->module_num (a module id) /
// element item->element_num (an element id) into item->socket; 0 when known.
int zundb_module_socket(zundb_item *item);
int zundb_element_socket(zundb_item *item);

// Texts for codes ("" for an unknown code) and back.
const char *zunelement_clas2str(int clas);
const char *zunelement_type2str(int clas, int type);
const char *zunelement_state2str(int state, int clas);
int zunelement_str2state(const char *text);  // 0 for an unknown text
int zunelement_str2clas(const char *text);   // 0 for an unknown text
int zunelement_str2type(int clas, const char *text);
const char *zunmodule_clas2str(int clas);
const char *zunmodule_internal2str(int kind);

// Item kinds answered by zunelement_type_by_id.
enum { ZUNDB_KIND_ELEMENT = 1, ZUNDB_KIND_MODULE = 2, ZUNDB_KIND_GROUP = 3 };

// What the id names in the element database: 0 when known, with kind
// (1 element, 2 module, 3 group) and, for an element, its class and type
// codes (0 otherwise).
int zunelement_type_by_id(int id, int *kind, int *clas, int *type);
