// The command table of heraldd: 18 tags in their fixed order; the table of
// its settings lines (mail, sms, trap), which alone the settings replay runs;
// and the savers of the save command (mails, traps, SMS).
#pragma once
#include <cstddef>
#include <cstdint>

#include "daemon.h"
#include "xmlhelpers.h"

extern const xml_tag_table heraldd_tags;
extern const xml_tag_table heraldd_settings_tags;
extern const daemon_saver heraldd_savers[];
extern const size_t heraldd_saver_count;

// Handlers of the table. A kind's commands (a settings line, add, delete,
// test) take their list from the row's context.
int notifier_cmd_load(xml_channel *ch, const char **attrs);
int notifier_cmd_add(xml_channel *ch, const char **attrs);
int notifier_cmd_del(xml_channel *ch, const char **attrs);
// A test notification (testmail, testtrap): a notifier of the kind that no
// list holds, named "Test Notify", with the kind's test id; the command's
// attributes applied, then the kind's test text queued when applying
// returned 0. Replies "no error" when both returned 0, "send test message
// failed" otherwise.
int notifier_cmd_test(xml_channel *ch, const char **attrs);
int notifier_cmd_get(xml_channel *ch, const char **attrs);
int notifier_cmd_update(xml_channel *ch, const char **attrs);
int notifier_cmd_ctl(xml_channel *ch, const char **attrs);

// Savers of the settings file, one group each.
int zunmail_list_save(xml_channel *ch);
int zuntrap_list_save(xml_channel *ch);
int zunsms_list_save(xml_channel *ch);
