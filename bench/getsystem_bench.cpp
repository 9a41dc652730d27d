// Whole-process cost of one getsystem request (valid session, stewardd and
// registryd answering) against exec'ing a trivial static C program that
// writes the same header block, both measured in one run, interleaved; and
// the peak memory of the request (ru_maxrss of the child).
//
//   getsystem_bench [requests]      (default 300)
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_cpu.h"
#include "harness.h"

extern char **environ;

namespace {

double now_us()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

struct Sample {
  double us;
  long maxrss_kib;
  int status;
};

// One exec of `program` with the environment, standard input and output on
// /dev/null; its wall time and peak resident size.
Sample run_once(const std::string &program, const std::vector<std::string> &env,
                const char *launcher = nullptr)
{
  std::vector<char *> envp;
  for (const std::string &e : env)
    envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  std::string result = std::string(launcher ? launcher : "") + ".rss";
  char *argv[] = {const_cast<char *>(program.c_str()), nullptr, nullptr, nullptr};
  std::string path = program;
  if (launcher != nullptr) {
    argv[0] = const_cast<char *>(launcher);
    argv[1] = const_cast<char *>(result.c_str());
    argv[2] = const_cast<char *>(program.c_str());
    path = launcher;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  double t0 = now_us();
  pid_t pid = -1;
  Sample s{0, 0, -1};
  if (posix_spawn(&pid, path.c_str(), &fa, nullptr, argv, envp.data()) == 0) {
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    s.us = now_us() - t0;
    s.maxrss_kib = ru.ru_maxrss;
    if (launcher != nullptr) {
      FILE *f = std::fopen(result.c_str(), "r");
      s.maxrss_kib = 0;
      if (f != nullptr) {
        if (std::fscanf(f, "%ld", &s.maxrss_kib) != 1)
          s.maxrss_kib = 0;
        std::fclose(f);
      }
    }
    s.status = status;
  }
  posix_spawn_file_actions_destroy(&fa);
  return s;
}

void make_account(const zt::Root &root)
{
  root.write("/mnt/jffs/etc/.keep", "");
  sqlite3 *db = nullptr;
  sqlite3_open(root.file("/mnt/jffs/etc/users.sqlite").c_str(), &db);
  sqlite3_exec(db,
               "CREATE TABLE SystemUsers (ID INTEGER PRIMARY KEY AUTOINCREMENT, Valid TEXT, Name TEXT, "
               "Pass TEXT, RegDate TEXT, SRead TEXT, SWrite TEXT, CRead TEXT, CWrite TEXT, GRead TEXT, "
               "GWrite TEXT, RFU1 TEXT, RFU2 TEXT);"
               "INSERT INTO SystemUsers (Valid,Name,Pass,RegDate,SRead,SWrite,CRead,CWrite,GRead,GWrite,"
               "RFU1,RFU2) VALUES ('1','admin','pw','','all','all','all','all','all','all','','');",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
  int n = argc > 1 ? std::atoi(argv[1]) : 300;
  bench_pin_to_one_cpu();
  zt::Root root;
  make_account(root);
  zt::Sim sim(root, {"--only", "registryd,stewardd,chronicled"});

  // The baseline, built static like the gateway.
  std::string trivial = root.file("/trivial_cgi");
  std::string cc = "cc -O2 -static -o " + trivial + " " ZUN_SOURCE_DIR "/bench/trivial_cgi.c";
  if (std::system(cc.c_str()) != 0) {
    std::fprintf(stderr, "cannot build the trivial program\n");
    return 1;
  }
  zt::RunResult login = zt::cgi(root, "", "querytype=auth&name=admin&h=pw");
  size_t p = login.out.find(" k=\"");
  if (p == std::string::npos) {
    std::fprintf(stderr, "login failed: %s\n", login.out.c_str());
    return 1;
  }
  // ru_maxrss of a child counts the peak of the image it replaced at exec
  // (this large process), so the memory runs go through a small static
  // launcher that forks, execs the program in its child and prints the
  // child's ru_maxrss.
  std::string launcher = root.file("/exec_as");
  root.write("/exec_as.c",
             "#include <stdio.h>\n#include <sys/resource.h>\n#include <sys/wait.h>\n#include <unistd.h>\n"
             "int main(int c, char **v) {\n  (void)c;\n  pid_t p = fork();\n"
             "  if (p == 0) { execv(v[2], v + 2); _exit(127); }\n"
             "  int st; struct rusage ru; wait4(p, &st, 0, &ru);\n"
             "  FILE *f = fopen(v[1], \"w\"); if (f) { fprintf(f, \"%ld\\n\", ru.ru_maxrss); fclose(f); }\n"
             "  return 0;\n}\n");
  if (std::system(("cc -O2 -static -o " + launcher + " " + root.file("/exec_as.c")).c_str()) != 0) {
    std::fprintf(stderr, "cannot build the launcher\n");
    return 1;
  }
  std::string key = login.out.substr(p + 4, login.out.find('"', p + 4) - p - 4);

  std::vector<std::string> env = {"APPLIANCE_ROOT=" + root.path(),
                                  "QUERY_STRING=querytype=getsystem&k=" + key,
                                  "REMOTE_ADDR=127.0.0.1",
                                  "CONTENT_LENGTH=0",
                                  "GATEWAY_INTERFACE=CGI/1.1",
                                  "REQUEST_METHOD=POST"};
  std::string engine = zt::bin("engine");

  // Check once that the request really is a valid getsystem.
  auto renv = root.env();
  renv["QUERY_STRING"] = "querytype=getsystem&k=" + key;
  zt::RunResult check = zt::run(engine, {engine}, renv);
  if (check.out.find("<system id=\"100\"") == std::string::npos) {
    std::fprintf(stderr, "getsystem failed: %s\n", check.out.c_str());
    return 1;
  }

  for (int i = 0; i < 20; i++) {  // warm up caches
    run_once(engine, env);
    run_once(trivial, env);
  }
  long peak_engine = 0, peak_trivial = 0;
  for (int i = 0; i < 20; i++) {
    peak_engine = std::max(peak_engine, run_once(engine, env, launcher.c_str()).maxrss_kib);
    peak_trivial = std::max(peak_trivial, run_once(trivial, env, launcher.c_str()).maxrss_kib);
  }
  std::vector<double> te, tt;
  double sum_e = 0, sum_t = 0;
  for (int i = 0; i < n; i++) {
    Sample e = run_once(engine, env);
    Sample t = run_once(trivial, env);
    te.push_back(e.us);
    tt.push_back(t.us);
    sum_e += e.us;
    sum_t += t.us;
  }
  double me = median(te), mt = median(tt);
  std::printf("getsystem requests: %d (interleaved with the trivial program)\n", n);
  std::printf("engine getsystem:   median %8.1f us, mean %8.1f us, peak RSS %ld KiB\n", me, sum_e / n,
              peak_engine);
  std::printf("trivial static C:   median %8.1f us, mean %8.1f us, peak RSS %ld KiB\n", mt, sum_t / n,
              peak_trivial);
  std::printf("ratio (median):     %.2f\n", mt > 0 ? me / mt : 0.0);
  return 0;
}
