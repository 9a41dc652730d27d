// The three notifier lists: rows in a Net-SNMP container ordered by element
// id (the container the SNMP tables serve), numbering, and registration of
// the lists as modules and of the notifiers as elements.
#include "notifier.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <bitset>
#include <cstdlib>
#include <mutex>
#include <new>

#include "daemon.h"
#include "sender.h"
#include "table_row.h"
#include "tables.h"
#include "zundb.h"

notifier_list zunmaillist{&mail_kind};
notifier_list zunsmslist{&sms_kind};
notifier_list zuntraplist{&trap_kind};

namespace {

// The next id for a notifier that the element database did not register.
std::mutex g_unregistered_lock;
uint32_t g_next_unregistered = UNREGISTERED_ID_TOP;

table_row *find_row(notifier_list &list, uint32_t id)
{
  oid key_oid[1] = {id};
  netsnmp_index key = {1, key_oid};
  return static_cast<table_row *>(CONTAINER_FIND(list.rows, &key));
}

// Calls fn(row) for every row in ascending index; the list's lock is the
// caller's.
template <class F> void each_row(notifier_list &list, F fn)
{
  netsnmp_iterator *it = CONTAINER_ITERATOR(list.rows);
  if (it == nullptr)
    return;
  for (auto *row = static_cast<table_row *>(ITERATOR_FIRST(it)); row != nullptr;
       row = static_cast<table_row *>(ITERATOR_NEXT(it)))
    fn(*row);
  ITERATOR_RELEASE(it);
}

// The numbers 1..999 that the list holds; the list's lock is the caller's.
std::bitset<NOTIFIER_MAX_NUM + 1> nums_in_use(notifier_list &list)
{
  std::bitset<NOTIFIER_MAX_NUM + 1> used;
  each_row(list, [&](table_row &row) {
    if (row.record && row.record->num >= 1 && row.record->num <= NOTIFIER_MAX_NUM)
      used.set(static_cast<size_t>(row.record->num));
  });
  return used;
}

// The next free number from the counter upward, or past 999 the lowest free
// one (the counter stays where it is); -1 when 1..999 are all taken. The
// counter only grows, so a number deleted below it comes back only once the
// numbers above it are used up, or after a restart.
int32_t allocate_num(notifier_list &list)
{
  ZunLock hold(list.lock);
  std::bitset<NOTIFIER_MAX_NUM + 1> used = nums_in_use(list);
  for (int32_t candidate = list.next_num; candidate <= NOTIFIER_MAX_NUM; candidate++) {
    if (!used[static_cast<size_t>(candidate)]) {
      list.next_num = candidate;
      return candidate;
    }
  }
  for (int32_t candidate = 1; candidate < list.next_num; candidate++)
    if (!used[static_cast<size_t>(candidate)])
      return candidate;
  return -1;
}

// Registers the notifier as an element of its list's module; the element id
// becomes its id. A refused registration leaves it an id of its own below
// every id handed out before (see UNREGISTERED_ID_TOP).
void register_element(notifier_list &list, notifier &n)
{
  zundb_item item;
  zundb_item_init(&item);
  item.module_id = static_cast<int>(list.module_id);
  item.element_num = n.num;
  item.clas = zunelement_clas2str(NOTIFIER_CLASS);
  item.type = zunelement_type2str(NOTIFIER_CLASS, static_cast<int>(n.type));
  item.name = n.name;
  item.state = zunelement_state2str(static_cast<int>(n.state), NOTIFIER_CLASS);
  item.value = "-";
  item.socket = const_cast<char *>(daemon_socket);
  if (zundb_element_add(&item) == 0 && item.element_id > 0) {
    n.id = static_cast<uint32_t>(item.element_id);
    n.registered = true;
    return;
  }
  // The lists are searched in turn by id: the id is unique in all three.
  std::lock_guard<std::mutex> hold(g_unregistered_lock);
  while (notifier_list_find(zunmaillist, g_next_unregistered) != nullptr ||
         notifier_list_find(zunsmslist, g_next_unregistered) != nullptr ||
         notifier_list_find(zuntraplist, g_next_unregistered) != nullptr)
    g_next_unregistered--;
  n.id = g_next_unregistered--;
}

void unregister_element(uint32_t id)
{
  zundb_item item;
  zundb_item_init(&item);
  item.element_id = static_cast<int>(id);
  zundb_element_delete(&item);
}

}  // namespace

notifier *notifier_new(const notifier_kind &kind)
{
  void *memory = std::calloc(1, kind.record_size);
  if (memory == nullptr)
    return nullptr;
  auto *n = static_cast<notifier *>(memory);
  n->type = kind.type;
  n->state = STATE_OFF;
  n->value = STATE_OFF;
  kind.defaults(*n);
  new (&n->lock) ZunMutex;
  return n;
}

void notifier_free(notifier *n)
{
  if (n == nullptr)
    return;
  n->lock.~ZunMutex();
  std::free(n);
}

int notifier_list_create(notifier_list &list)
{
  if (!list.ready) {
    list.rows = netsnmp_container_find("table_container");
    if (list.rows == nullptr)
      return -1;
    list.rows->compare = netsnmp_compare_netsnmp_index;
    list.ready = true;
    if (sender_start(*list.kind->out, list) != 0)
      return -1;
  }
  if (notifier_table_initialize(list) != 0)  // the SNMP table over the container
    return -1;
  const notifier_kind &kind = *list.kind;
  zundb_item item{};
  item.kind = 2;
  item.module_num = kind.module_num;
  item.clas = zunmodule_clas2str(1);
  item.type = zunmodule_internal2str(2);
  item.name = kind.module_name;
  item.state = "normal";
  item.socket = const_cast<char *>(daemon_socket);
  if (zundb_module_add(&item) != 0 || item.module_id <= 0)
    return -1;
  list.module_id = static_cast<uint32_t>(item.module_id);
  return 0;
}

notifier *notifier_list_add(notifier_list &list, int32_t num)
{
  if (!list.ready)
    return nullptr;
  // Numbered first: a list with no number left makes nothing and registers
  // nothing.
  num = num < 0 ? allocate_num(list) : num;
  if (num < 0)
    return nullptr;
  notifier *n = notifier_new(*list.kind);
  auto *row = static_cast<table_row *>(std::calloc(1, sizeof(table_row)));
  if (n == nullptr || row == nullptr) {
    notifier_free(n);
    std::free(row);
    return nullptr;
  }
  n->num = num;
  n->module = list.module_id;
  n->listed = true;
  register_element(list, *n);
  row->index_oid[0] = n->id;
  row->index.oids = row->index_oid;
  row->index.len = 1;
  row->id = n->id;
  row->record = n;
  int inserted;
  {
    ZunLock hold(list.lock);
    inserted = CONTAINER_INSERT(list.rows, row);
  }
  if (inserted != 0) {  // an id the list holds already: the database gave it twice
    unregister_element(n->id);
    notifier_free(n);
    std::free(row);
    return nullptr;
  }
  return n;
}

notifier *notifier_list_find(notifier_list &list, uint32_t id)
{
  if (!list.ready)
    return nullptr;
  ZunLock hold(list.lock);
  table_row *row = find_row(list, id);
  return row != nullptr ? row->record : nullptr;
}

notifier *notifier_list_lock(notifier_list &list, uint32_t id)
{
  if (!list.ready)
    return nullptr;
  ZunLock hold(list.lock);
  table_row *row = find_row(list, id);
  if (row == nullptr || row->record == nullptr)
    return nullptr;
  row->record->lock.lock();
  return row->record;
}

bool notifier_list_with(notifier_list &list, uint32_t id, void (*fn)(notifier &, void *), void *ctx)
{
  if (!list.ready)
    return false;
  ZunLock hold(list.lock);
  table_row *row = find_row(list, id);
  if (row == nullptr || row->record == nullptr)
    return false;
  fn(*row->record, ctx);
  return true;
}

void notifier_list_each(notifier_list &list, void (*fn)(notifier &, void *), void *ctx)
{
  if (!list.ready)
    return;
  ZunLock hold(list.lock);
  each_row(list, [&](table_row &row) {
    if (row.record != nullptr)
      fn(*row.record, ctx);
  });
}

int notifier_list_delete(notifier_list &list, uint32_t id)
{
  if (!list.ready)
    return -1;
  table_row *row;
  {
    ZunLock hold(list.lock);
    row = find_row(list, id);
    if (row == nullptr)
      return -1;
    CONTAINER_REMOVE(list.rows, row);
  }
  // What it still had to send goes with it.
  sender_forget(*list.kind->out, id);
  // An SNMP set may still hold the notifier's lock (taken while it held the
  // list's, see notifier_list_lock): the notifier is freed once it is let go.
  row->record->lock.lock();
  row->record->lock.unlock();
  unregister_element(id);
  notifier_free(row->record);
  std::free(row);
  return 0;
}

void notifier_list_destroy(notifier_list &list)
{
  if (!list.ready)
    return;
  sender_stop(*list.kind->out);
  {
    ZunLock hold(list.lock);
    each_row(list, [&](table_row &row) {
      if (row.record == nullptr)
        return;
      unregister_element(row.id);
      notifier_free(row.record);
      row.record = nullptr;
    });
  }
  zundb_item item;
  zundb_item_init(&item);
  item.module_id = static_cast<int>(list.module_id);
  if (list.module_id != 0)
    zundb_module_delete(&item);
}

const notifier_kind &notifier_kind_of(const notifier &n)
{
  return n.type == mail_kind.type ? mail_kind : n.type == sms_kind.type ? sms_kind : trap_kind;
}
