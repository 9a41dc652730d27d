// warderd, the access daemon: reads iButton keys from the 1-Wire master,
// grants or refuses them against its key table, learns keys on request,
// publishes the reader and its power output as elements, and answers key and
// rights commands on /tmp/warderd.socket.
#include "access_db.h"
#include "commands.h"
#include "daemon.h"
#include "reader.h"
#include "zunlib.h"

namespace {

bool g_readers_started = false;

// Start-up, after the frame has set up the command lock and before its
// server thread starts: board type, library set-up with the settings file
// and socket, the database, then the readers on boards that have them.
int warderd_startup(void)
{
  int has_reader = reader_board_has_hardware();
  zunlib_init(file_settings, daemon_socket);
  access_db_start(access_litedb());
  if (!has_reader)
    return 0;
  g_readers_started = true;
  return readers_start();
}

// Clean-up, after the server thread has ended: the readers (their thread
// ends first), then the database. The readers are stopped whenever they were
// started, so a board type rewritten while running cannot leave the reader
// thread working on a closed database.
int warderd_shutdown(void)
{
  if (g_readers_started)
    readers_stop();
  g_readers_started = false;
  access_db_stop(access_litedb());
  return 0;
}

const daemon_def WARDERD = {
    "warderd",
    "/tmp/warderd.lock",
    "/tmp/warderd.socket",
    "/mnt/jffs/etc/warderd.xml",
    "hmblf:",
    daemon_usage,
    &warderd_tags,
    nullptr,
    warderd_startup,
    warderd_shutdown,
    warderd_savers,
    warderd_saver_count,
};

}  // namespace

int main(int argc, char **argv)
{
  return daemon_main(WARDERD, argc, argv);
}
