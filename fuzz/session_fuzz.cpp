// Fuzz target for the session files: /var/users is writable by other
// programs of the appliance and a power loss can cut a file, so the loader
// and the rights check take a session file as outside input.
//
// Input: one mode byte, then the file. Mode bit 0 seals the file with the
// appliance's own secret (as a real save would), so that the decoder behind
// the authentication is reached; bit 1 sets its time of saving to now, so
// that a decoded record is not refused as stale. Checked: nothing crashes or
// reads past a buffer; a file that does not load never grants a right; one
// that loads passes a session-only check and holds no count past its lists.
#include "digest.h"
#include "params.h"
#include "rights.h"
#include "zunusers.h"
#include "zunutils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *SESSION = "/var/users/1.session";

struct private_root {
  std::string path;
  std::string secret;

  private_root()
  {
    char folder[] = "/tmp/zfuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr)
      std::abort();
    path = folder;
    for (const char *sub : {"/var", "/var/users", "/mnt", "/mnt/jffs", "/mnt/jffs/etc", "/tmp"})
      mkdir((path + sub).c_str(), 0700);
    setenv("APPLIANCE_ROOT", path.c_str(), 1);
    // A first save makes the appliance's secret.
    zunuser u;
    zunusers_clear(&u);
    if (zunusers_save_user(&u, SESSION) != 0)
      std::abort();
    std::ifstream in(path + "/mnt/jffs/etc/session.key", std::ios::binary);
    secret.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (secret.empty())
      std::abort();
  }
  ~private_root()
  {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

void put_file(const std::string &path, const std::string &bytes)
{
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static private_root root;
  if (size == 0)
    return 0;
  const uint8_t mode = data[0];
  std::string file(reinterpret_cast<const char *>(data + 1), size - 1);
  if ((mode & 2) != 0 && file.size() >= 20) {
    uint64_t now = systime();
    for (int i = 0; i < 8; i++)
      file[12 + i] = static_cast<char>(now >> (8 * i));
  }
  if ((mode & 1) != 0) {
    uint8_t mac[32];
    zun_hmac_sha256(reinterpret_cast<const uint8_t *>(root.secret.data()), root.secret.size(),
                    reinterpret_cast<const uint8_t *>(file.data()), file.size(), mac);
    file.append(reinterpret_cast<const char *>(mac), sizeof mac);
  }
  put_file(root.path + SESSION, file);

  static zunuser loaded;
  bool loads = zunusers_load_user(&loaded, SESSION) == 0;
  if (loads && (loaded.access.ncomponents < 0 || loaded.access.ncomponents > ZUN_ACCESS_MAX ||
                loaded.access.ngroups < 0 || loaded.access.ngroups > ZUN_ACCESS_MAX))
    std::abort();

  char form[] = "k=1";
  params_parse_form(form);
  // Without an account database a loadable local session stands on its own.
  if ((rights_check("fuzz", SEC_SESSION_ONLY, LEVEL_READ) == 0) != loads)
    std::abort();
  put_file(root.path + SESSION, file);
  for (int section : {SEC_ALL, SEC_USERS, SEC_LOG})
    for (int level : {LEVEL_READ, LEVEL_WRITE})
      if (rights_check("fuzz", section, level) == 0 && !loads)
        std::abort();
  params_reset();
  return 0;
}
