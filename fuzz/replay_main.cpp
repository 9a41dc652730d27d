// Replays kept inputs through a fuzz target with any compiler: every file in
// the folders (or the files) named on the command line is run once. Inputs
// that once broke a parser are kept in fuzz/corpus/ and replayed as a test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int replay(const std::filesystem::path &file)
{
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  return 1;
}

int main(int argc, char **argv)
{
  int count = 0;
  for (int i = 1; i < argc; i++) {
    std::filesystem::path p(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (const auto &entry : std::filesystem::directory_iterator(p, ec))
        if (entry.is_regular_file())
          count += replay(entry.path());
    } else if (std::filesystem::is_regular_file(p, ec)) {
      count += replay(p);
    }
  }
  std::printf("replayed %d inputs\n", count);
  return count > 0 ? 0 : 1;  // an empty corpus is a test that quietly died
}
