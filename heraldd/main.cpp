// heraldd, the notification daemon: keeps mail, SMS and trap notifiers,
// registers each as an element of the element database, sends a
// notification when the appliance's logic fires one, and keeps them in its
// settings file. Commands on /tmp/heraldd.socket.
#include "commands.h"
#include "daemon.h"
#include "heraldd.h"
#include "notifier.h"

namespace {

notifier_list *const CREATE_ORDER[] = {&zunmaillist, &zunsmslist, &zuntraplist};
notifier_list *const DESTROY_ORDER[] = {&zuntraplist, &zunsmslist, &zunmaillist};

// -H NAME: the monitoring system's host name in mail subjects.
int option(int opt, const char *arg)
{
  if (opt != 'H' || arg == nullptr)
    return -1;
  heraldd_hostname = arg;
  return 0;
}

// Start-up, before the server thread starts: the lists (their results are
// not checked: a list whose module was refused still works), then the
// notifiers of the settings file.
int heraldd_startup(void)
{
  for (notifier_list *list : CREATE_ORDER)
    notifier_list_create(*list);
  daemon_replay_settings();
  return 0;
}

// Clean-up, after the server thread has ended: every notifier and list
// unregistered and freed.
int heraldd_shutdown(void)
{
  for (notifier_list *list : DESTROY_ORDER)
    notifier_list_destroy(*list);
  return 0;
}

const daemon_def HERALDD = {
    "heraldd",
    "/tmp/heraldd.lock",
    "/tmp/heraldd.socket",
    "/mnt/jffs/etc/heraldd.xml",
    "hmblf:H:",
    daemon_usage_hostname,
    &heraldd_tags,
    option,
    heraldd_startup,
    heraldd_shutdown,
    heraldd_savers,
    heraldd_saver_count,
    &heraldd_settings_tags,
};

}  // namespace

int main(int argc, char **argv)
{
  return daemon_main(HERALDD, argc, argv);
}
