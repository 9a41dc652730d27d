// The notifier SNMP tables on the table-array helper, over the lists'
// containers.
//
// Locking. The helper finds and walks rows in a list's container, so each
// request that reaches a table runs the helper under the list's lock (the
// table's access method takes it and calls the helper), and a column is read
// or checked under the notifier's lock inside it. A command that deletes a
// notifier removes its row under the same lock: a walk or a get never meets
// a row that is going away.
//
// A set is applied in its action phase, but after the helper, outside the
// list's lock: the name setter sends the new name to the element database, an
// exchange with another program that must not hold up every command on the
// list. The action callback only collects the values; the access method then
// applies them through the setters, each notifier under its own lock, handed
// over from the list's (notifier_list_lock), as a command applies attributes.
//
// Phases. Only the master agent runs all phases of a set on one request
// record, where the helper would keep its row groups from one phase to the
// next; AgentX brings every phase in a request of its own. A group holds
// pointers to list rows, which a deletion between two phases would leave
// dangling. So every phase finds its rows anew: after each phase the access
// method frees the rows the helper made (undo copies, rows made for an id
// without notifier) and drops the groups. Nothing has to carry over: the
// checks run again in reserve 2, and commit, free and undo change nothing.
//
// The helper's callbacks carry no table: they run only inside the access
// method, which names the table and the phase it serves in `serving`.
#include "tables.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/table_array.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "notifier.h"
#include "table_row.h"
#include "zun_text.h"
#include "zundb.h"

namespace {

constexpr size_t ROOT_LEN = 9;
constexpr unsigned NAME_COLUMN = 5;
constexpr unsigned FIRST_FIELD_COLUMN = 8;  // the kind's own columns start here
constexpr size_t MAX_FIELD_COLUMNS = 7;

struct notifier_table {
  notifier_list &list;
  const char *name;                // handler name
  oid root[ROOT_LEN];
  const char *table;               // for the debug text
  const char *token;               // debug token of the registration
  const char *creation;            // the list creation (trace text)
  const char *source;              // the list's source name (assertion texts)

  // Filled by the registration.
  netsnmp_handler_registration *reg;
  netsnmp_table_array_callbacks cb;
  unsigned max_column;
  // The setter row of each writable column (by column number), else null.
  std::array<const notifier_attr *, FIRST_FIELD_COLUMN + MAX_FIELD_COLUMNS> setters;
};

notifier_table TABLES[] = {
    {zunmaillist, "zunmail", {1, 3, 6, 1, 4, 1, 99999, 2, 1}, "zunmails", "initialize_table_zunmails",
     "zunmail_list_create", "zunmaillist", nullptr, {}, 0, {}},
    {zuntraplist, "zuntrap", {1, 3, 6, 1, 4, 1, 99999, 2, 2}, "zuntraps", "initialize_table_zuntraps",
     "zuntrap_list_create", "zuntraplist", nullptr, {}, 0, {}},
    {zunsmslist, "zunsms", {1, 3, 6, 1, 4, 1, 99999, 2, 3}, "zunsms", "initialize_table_zunsms",
     "zunsms_list_create", "zunsmslist", nullptr, {}, 0, {}},
};

// The table and the phase the access method serves while the helper runs.
struct {
  notifier_table *table = nullptr;
  int mode = 0;
} serving;

// A value of a set, collected in the action phase and applied after it.
struct pending_value {
  netsnmp_request_info *request;
  uint32_t id;
  const notifier_attr *setter;
  std::string value;
};
std::vector<pending_value> pending;

table_row *row_of(netsnmp_index *index)
{
  return reinterpret_cast<table_row *>(index);
}

void log_assert(const char *what, int line, const char *where)
{
  snmp_log(LOG_ERR, "netsnmp_assert %s failed %s:%d %s()\n", what, serving.table->source, line, where);
}

bool in_table(const notifier_table &t, unsigned column)
{
  return column >= 1 && column <= t.max_column;
}

const notifier_attr *setter_named(const notifier_kind &kind, const char *name)
{
  for (const notifier_attr &row : kind.attrs)
    if (std::strcmp(row.name, name) == 0)
      return &row;
  return nullptr;
}

// ---- rows ---------------------------------------------------------------

// The row's index and id from an index of one INTEGER.
int extract_index(table_row *row, const netsnmp_index *hdr)
{
  if (row->index.oids != nullptr) {
    log_assert("item->index.oids == ((void *)0)", __LINE__, "extract_index");
    return -1;
  }
  netsnmp_variable_list var{};
  var.type = ASN_INTEGER;
  int parsed = hdr->len == 1 ? parse_oid_indexes(hdr->oids, hdr->len, &var) : SNMPERR_GENERR;
  if (parsed == SNMPERR_SUCCESS) {
    row->index_oid[0] = hdr->oids[0];
    row->index.oids = row->index_oid;
    row->index.len = 1;
    row->id = static_cast<uint32_t>(*var.val.integer);
  }
  snmp_reset_var_buffers(&var);
  return parsed == SNMPERR_SUCCESS ? 0 : -1;
}

// Copies the index and the notifier reference.
int row_copy(void *to_row, void *from_row)
{
  auto *to = static_cast<table_row *>(to_row);
  const auto *from = static_cast<const table_row *>(from_row);
  if (to == nullptr || from == nullptr)
    return -1;
  to->index_oid[0] = from->index_oid[0];
  to->index.oids = to->index_oid;
  to->index.len = 1;
  to->id = from->id;
  to->record = from->record;
  return 0;
}

netsnmp_index *row_duplicate(netsnmp_index *index)
{
  auto *row = static_cast<table_row *>(std::calloc(1, sizeof(table_row)));
  if (row != nullptr)
    row_copy(row, index);
  return row != nullptr ? &row->index : nullptr;
}

// Frees a row the helper made; never the notifier (a list row's notifier
// belongs to the list). The index lies inside the row.
netsnmp_index *row_delete(netsnmp_index *index)
{
  std::free(row_of(index));
  return nullptr;
}

// A row without notifier, for a set to an id that no notifier has (refused
// in reserve 1). None is made in the commit phase: the helper would insert it
// into the list. (A notifier deleted between the action and the commit of a
// set then fails the commit.)
netsnmp_index *row_create(netsnmp_index *hdr)
{
  if (serving.mode == MODE_SET_COMMIT)
    return nullptr;
  auto *row = static_cast<table_row *>(std::calloc(1, sizeof(table_row)));
  if (row == nullptr || extract_index(row, hdr) != 0) {
    std::free(row);
    return nullptr;
  }
  return &row->index;
}

int row_can_delete(netsnmp_index *, netsnmp_index *, netsnmp_request_group *)
{
  return 1;
}

// ---- get ----------------------------------------------------------------

void put_integer(netsnmp_variable_list *var, int32_t value)
{
  snmp_set_var_typed_value(var, ASN_INTEGER, &value, sizeof value);
}

// Texts go without their terminating zero.
void put_text(netsnmp_variable_list *var, const char *text, size_t width)
{
  snmp_set_var_typed_value(var, ASN_OCTET_STR, text, strnlen(text, width));
}

// One column of a notifier, its lock held.
void put_column(const notifier &n, unsigned column, const notifier_attr *setter, netsnmp_variable_list *var)
{
  if (setter != nullptr) {
    const char *field = reinterpret_cast<const char *>(&n) + setter->field;
    if (setter->kind == set_kind::number)
      put_integer(var, *reinterpret_cast<const int32_t *>(field));
    else if (setter->flags & ATTR_SECRET)  // written, never read back
      put_text(var, "", 0);
    else
      put_text(var, field, setter->size);
    return;
  }
  char value[16];
  switch (column) {
  case 1:
    put_integer(var, static_cast<int32_t>(n.id));
    break;
  case 2:
    put_integer(var, static_cast<int32_t>(n.module));
    break;
  case 3:
    put_integer(var, n.num);
    break;
  case 4:
    put_text(var, zunelement_type2str(NOTIFIER_CLASS, static_cast<int>(n.type)), SIZE_MAX);
    break;
  case 6:
    put_text(var, zunelement_state2str(static_cast<int>(n.state), NOTIFIER_CLASS), SIZE_MAX);
    break;
  case 7:
    std::snprintf(value, sizeof value, "%u", n.value);
    put_text(var, value, sizeof value);
    break;
  }
}

int get_value(netsnmp_request_info *request, netsnmp_index *index, netsnmp_table_request_info *info)
{
  const notifier_table &t = *serving.table;
  if (!in_table(t, info->colnum)) {
    snmp_log(LOG_ERR, "unknown column in get_value %u\n", info->colnum);
    netsnmp_request_set_error(request, SNMP_ERR_GENERR);
    return SNMP_ERR_GENERR;
  }
  notifier *n = row_of(index)->record;
  if (n == nullptr) {  // a list being freed at stop
    netsnmp_request_set_error(request, SNMP_NOSUCHINSTANCE);
    return SNMP_ERR_NOERROR;
  }
  ZunLock hold(n->lock);
  put_column(*n, info->colnum, t.setters[info->colnum], request->requestvb);
  return SNMP_ERR_NOERROR;
}

// ---- set ----------------------------------------------------------------

// The check of one variable of a set: the row must hold a notifier, the
// column be writable, the value of the field's type and at most its width
// (the setter keeps one byte less: the field's terminating zero).
int check_variable(const notifier_table &t, const table_row &row, unsigned column,
                   const netsnmp_variable_list *var, bool first)
{
  if (!in_table(t, column)) {
    if (first)
      snmp_log(LOG_ERR, "unknown column in set_reserve1\n");
    else
      log_assert("0", __LINE__, "set_reserve2");
    return SNMP_ERR_GENERR;
  }
  if (row.record == nullptr)
    return SNMP_ERR_NOCREATION;
  const notifier_attr *setter = t.setters[column];
  if (setter == nullptr)
    return SNMP_ERR_READONLY;
  if (setter->kind == set_kind::number) {
    int status = netsnmp_check_vb_int(var);
    // The field has 32 bits: a larger number would be kept as another.
    if (status == SNMP_ERR_NOERROR && (*var->val.integer < INT32_MIN || *var->val.integer > INT32_MAX))
      return SNMP_ERR_WRONGVALUE;
    return status;
  }
  int status = netsnmp_check_vb_type_and_max_size(var, ASN_OCTET_STR, static_cast<int>(setter->size));
  if (status != SNMP_ERR_NOERROR)
    return status;
  // A text is kept, described and saved as XML text: bytes that XML cannot
  // carry (a NUL, which would also cut it short, invalid UTF-8, control
  // characters) would make the settings file unreadable at the next start.
  const char *text = reinterpret_cast<const char *>(var->val.string);
  if (!utf8_xml_valid(text, var->val_len) || notifier_value_refused(*setter, {text, var->val_len}))
    return SNMP_ERR_WRONGVALUE;
  return SNMP_ERR_NOERROR;
}

// Reserve 1 and 2: every variable checked; a failed check's error goes on
// its request, and the group's status is the highest of its requests'.
void check_group(netsnmp_request_group *group, bool first)
{
  const table_row &row = *row_of(group->existing_row);
  for (netsnmp_request_group_item *item = group->list; item != nullptr; item = item->next) {
    int status = check_variable(*serving.table, row, item->tri->colnum, item->ri->requestvb, first);
    if (status != SNMP_ERR_NOERROR)
      netsnmp_set_mode_request_error(MODE_SET_BEGIN, item->ri, status);
    if (status > group->status)
      group->status = status;
  }
}

void set_reserve1(netsnmp_request_group *group)
{
  check_group(group, true);
}

void set_reserve2(netsnmp_request_group *group)
{
  check_group(group, false);
}

// Collects the values for the access method, which applies them once the
// list's lock is released. A row whose notifier was deleted since the
// reserve phases fails.
void set_action(netsnmp_request_group *group)
{
  const notifier_table &t = *serving.table;
  const table_row &row = *row_of(group->existing_row);
  for (netsnmp_request_group_item *item = group->list; item != nullptr; item = item->next) {
    unsigned column = item->tri->colnum;
    const notifier_attr *setter = in_table(t, column) ? t.setters[column] : nullptr;
    if (setter == nullptr) {
      log_assert("0", __LINE__, "set_action");
      continue;
    }
    if (row.record == nullptr) {
      netsnmp_request_set_error(item->ri, SNMP_ERR_COMMITFAILED);
      continue;
    }
    const netsnmp_variable_list *var = item->ri->requestvb;
    pending.push_back({item->ri, row.id, setter,
                       setter->kind == set_kind::number
                           ? std::to_string(*var->val.integer)
                           : std::string(reinterpret_cast<const char *>(var->val.string), var->val_len)});
  }
}

// Commit and undo change nothing (a set is not undone); they only look at
// the columns.
void check_columns(netsnmp_request_group *group, int line, const char *where)
{
  for (netsnmp_request_group_item *item = group->list; item != nullptr; item = item->next)
    if (!in_table(*serving.table, item->tri->colnum))
      log_assert("0", line, where);
}

void set_commit(netsnmp_request_group *group)
{
  check_columns(group, __LINE__, "set_commit");
}

void set_free(netsnmp_request_group *)
{
}

void set_undo(netsnmp_request_group *group)
{
  check_columns(group, __LINE__, "set_undo");
}

// The collected values of one phase, applied through the setters: each
// notifier's values under its lock together (so a get sees all of them or
// none), a new name sent to the element database by its setter.
void apply_pending(notifier_table &t)
{
  for (size_t first = 0; first < pending.size();) {
    size_t end = first;
    while (end < pending.size() && pending[end].id == pending[first].id)
      end++;
    notifier *n = notifier_list_lock(t.list, pending[first].id);
    for (size_t i = first; i < end; i++) {
      if (n != nullptr)
        notifier_set(*n, *pending[i].setter, pending[i].value.c_str());
      else  // deleted since the action callback
        netsnmp_request_set_error(pending[i].request, SNMP_ERR_COMMITFAILED);
    }
    if (n != nullptr)
      n->lock.unlock();
    first = end;
  }
  pending.clear();
}

// Frees what the helper made for a group and keeps for a later phase.
void drop_group_rows(void *data, void *)
{
  auto *group = static_cast<netsnmp_request_group *>(data);
  row_delete(group->undo_info);
  group->undo_info = nullptr;
  if (group->row_created) {
    row_delete(group->existing_row);
    group->existing_row = nullptr;
  }
}

// Ends what the helper keeps of a set's phase (its row groups), so that the
// next phase finds its rows anew in the list.
void drop_groups(netsnmp_mib_handler *handler, netsnmp_agent_request_info *reqinfo)
{
  auto *groups = static_cast<netsnmp_container *>(netsnmp_agent_get_list_data(reqinfo, handler->handler_name));
  if (groups == nullptr)
    return;
  CONTAINER_FOR_EACH(groups, drop_group_rows, nullptr);
  netsnmp_agent_remove_list_data(reqinfo, handler->handler_name);
}

// A request the table helper refused (an OID of the table that names no
// column) carries no table information. In a master agent's set the table
// helper looks at the requests in the first phase only and then hands them
// all on; the table-array helper, grouping them anew because the groups are
// dropped after every phase, would read that missing information. Such a
// request keeps its error and is marked done for the phase.
void skip_refused(netsnmp_request_info *requests)
{
  for (netsnmp_request_info *r = requests; r != nullptr; r = r->next)
    if (netsnmp_extract_table_info(r) == nullptr)
      r->processed = 1;
}

// The access method of a table: the table-array helper under the list's
// lock; after the action phase, the collected values applied outside it.
int table_handler(netsnmp_mib_handler *handler, netsnmp_handler_registration *reg,
                  netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests)
{
  auto &t = *static_cast<notifier_table *>(reg->my_reg_void);
  int status;
  {
    ZunLock hold(t.list.lock);
    serving.table = &t;
    serving.mode = reqinfo->mode;
    if (MODE_IS_SET(reqinfo->mode))
      skip_refused(requests);
    status = netsnmp_table_array_helper_handler(handler, reg, reqinfo, requests);
    if (MODE_IS_SET(reqinfo->mode))
      drop_groups(handler, reqinfo);
    serving.table = nullptr;
  }
  if (reqinfo->mode == MODE_SET_ACTION)
    apply_pending(t);
  return status;
}

// ---- registration -------------------------------------------------------

void debug_registration(const notifier_table &t, int line)
{
  if (!snmp_get_do_debugging())
    return;
  debugmsgtoken("trace", "%s(): %s, %d:\n", t.creation, t.source, line);
  debugmsg("trace", "%s(): %s, %d:\n", t.creation, t.source, line);
  debugmsgtoken(t.token, "Registering table %s as a table array\n", t.table);
  debugmsg(t.token, "Registering table %s as a table array\n", t.table);
}

int initialize_table(notifier_table &t)
{
  if (t.reg != nullptr) {
    snmp_log(LOG_ERR, "initialize_table_handler called again\n");
    return -1;
  }
  if (t.list.rows == nullptr)  // the list's container comes first
    return -1;
  t.cb = {};
  auto *info = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
  t.reg = netsnmp_create_handler_registration(t.name, table_handler, t.root, ROOT_LEN, HANDLER_CAN_RWRITE);
  if (info == nullptr || t.reg == nullptr) {
    snmp_log(LOG_ERR, "malloc failed in initialize_table_handler\n");
    SNMP_FREE(info);
    if (t.reg != nullptr)
      netsnmp_handler_registration_free(t.reg);
    t.reg = nullptr;
    return -1;
  }
  t.reg->my_reg_void = &t;

  const notifier_kind &kind = *t.list.kind;
  t.setters = {};
  t.setters[NAME_COLUMN] = setter_named(kind, "name");
  t.max_column = FIRST_FIELD_COLUMN - 1;
  for (const char *field : kind.snmp_columns)
    if (t.max_column + 1 < t.setters.size())
      t.setters[++t.max_column] = setter_named(kind, field);

  netsnmp_table_helper_add_index(info, ASN_INTEGER);
  info->min_column = 1;
  info->max_column = t.max_column;

  t.cb.container = t.list.rows;
  t.cb.get_value = get_value;
  t.cb.row_copy = row_copy;
  t.cb.duplicate_row = row_duplicate;
  t.cb.delete_row = row_delete;
  t.cb.create_row = row_create;
  t.cb.can_delete = row_can_delete;
  t.cb.set_reserve1 = set_reserve1;
  t.cb.set_reserve2 = set_reserve2;
  t.cb.set_action = set_action;
  t.cb.set_commit = set_commit;
  t.cb.set_free = set_free;
  t.cb.set_undo = set_undo;
  t.cb.can_set = 1;

  debug_registration(t, __LINE__);
  if (netsnmp_table_container_register(t.reg, info, &t.cb, t.cb.container, 1) != MIB_REGISTERED_OK) {
    t.reg = nullptr;  // the library frees a registration it refused
    return -1;
  }
  return 0;
}

}  // namespace

int initialize_table_zunmails(void)
{
  return initialize_table(TABLES[0]);
}

int initialize_table_zuntraps(void)
{
  return initialize_table(TABLES[1]);
}

int initialize_table_zunsms(void)
{
  return initialize_table(TABLES[2]);
}

int notifier_table_initialize(notifier_list &list)
{
  for (notifier_table &t : TABLES)
    if (&t.list == &list)
      return initialize_table(t);
  return -1;
}
