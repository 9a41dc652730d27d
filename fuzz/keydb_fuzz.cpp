// Fuzz target for the key database upload: any file an operator uploads
// reaches the image check (whole file, SQLite's quick check, exactly
// warderd's tables) and, when it passes, the installation.
//
// Input: the uploaded file. It is installed twice under a private root: as
// a new file where none was (replaced whole), then over that file, which is
// now live (copied in place). Checked: nothing crashes or reads past a
// buffer; a refused image leaves nothing behind; an accepted one is the new
// file byte for byte and is accepted again over itself; no temporary or
// journal file outlives an installation.
#include "access_tables.h"
#include "sql3.h"
#include "zunfile.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr const char *TARGET = "/keys.sqlite";
constexpr unsigned MODE = 0600;

struct private_root {
  std::string path;

  private_root()
  {
    char folder[] = "/tmp/zfuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr)
      std::abort();
    path = folder;
    setenv("APPLIANCE_ROOT", path.c_str(), 1);
  }
  ~private_root()
  {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }

  std::vector<std::string> entries() const
  {
    std::vector<std::string> names;
    if (zunfile_list("/", names) != 0)  // the root's paths are mapped under it
      std::abort();
    return names;
  }

  std::string target_bytes() const
  {
    std::ifstream in(path + TARGET, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The target and whatever an open of it in another journal mode left.
  void clean() const
  {
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
      if (zunfile_remove((std::string(TARGET) + suffix).c_str()) != 0)
        std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static private_root root;
  const std::vector<std::string> nothing;
  if (!root.entries().empty())
    std::abort();

  if (sql3_install_image(TARGET, data, size, kAccessTables, MODE) != 0) {
    if (root.entries() != nothing)
      std::abort();  // refused, yet something was written
    return 0;
  }
  if (root.entries() != std::vector<std::string>{TARGET + 1} ||
      root.target_bytes() != std::string(reinterpret_cast<const char *>(data), size))
    std::abort();  // a new file is the image itself, and nothing beside it

  if (sql3_install_image(TARGET, data, size, kAccessTables, MODE) != 0 ||
      root.entries() != std::vector<std::string>{TARGET + 1})
    std::abort();  // what was good enough to become the file is good enough to fill it
  root.clean();
  return 0;
}
