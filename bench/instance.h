// Scratch TRUV instances for the benchmark and the build comparison: their
// generated files, putting them back after a run, and runs of programs.
#ifndef KTRP_BENCH_INSTANCE_H_
#define KTRP_BENCH_INSTANCE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kDomainLines = 100;
inline constexpr size_t kEntriesPerDomain = 10;

[[noreturn]] void die(const std::string& msg);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string thousands(size_t n);

// Whole files. writeFile syncs, so that no write-back of a set-up falls into
// a timed run.
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0600);
std::string readFile(const std::string& path);
void makeDir(const std::string& path);
void removeTree(const std::string& path);
bool sameFile(const std::string& a, const std::string& b);
// Size of the file at path, 0 when it cannot be examined.
size_t fileSize(const std::string& path);

// A fixed pseudo-random mix of x.
uint64_t mix(uint64_t x);
// A version-1 UUID look-alike, fixed by i.
std::string uuidOf(uint64_t i);
// len characters of alphabet, fixed by i.
std::string textOf(uint64_t i, size_t len, const char* alphabet);
extern const char kBase64[];
extern const char kHex[];

// Even upstreams have an alias of their own and a dc_uid line; odd ones go
// by their DC UID.
struct Upstream {
  std::string alias, uid;
};
Upstream upstreamOf(size_t i);

// Identity of a file as a run left it: a changed inode, size or time means
// the run changed it.
struct FileStamp {
  bool exists = false;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp stampOf(const std::string& path);

struct Instance {
  size_t size = 0;
  std::string dir, root, confd, rp, select, doc;
  std::string rpText, selectText;
  FileStamp rpStamp, selectStamp;
  Upstream target;
};

std::string truvConfigPath(const std::string& scratch);
// Points the truv config at the instance's root.
void activate(const std::string& scratch, const Instance& in);

// An instance with the given rp config and rp select config ("" for none),
// its identity files, a registration directory and a registration to import.
Instance makeInstanceWith(const std::string& scratch, const std::string& name, size_t n, std::string rpText,
                          std::string selectText);
// The benchmark's instance of n upstreams: six property lines each, a
// default select line naming every upstream, 100 domain lines, a threshold.
Instance makeInstance(const std::string& scratch, const std::string& name, size_t n);

// Puts the rp config and the rp select config back as generated: a file a
// run only appended to is cut back to its length, one it replaced or
// changed otherwise is written anew, one it left alone is not touched.
void restore(Instance& in);

struct Run {
  double seconds = 0;
  int status = -1;
  long maxRssKb = 0;  // of the program and the children it waited for
};

// Runs argv with the environment env, standard input from /dev/null, output
// and errors to the paths given, through the small launcher that times it
// from its spawn to its exit and takes its peak RSS (errPath + ".run" holds
// the launcher's report).
Run spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& outPath,
          const std::string& errPath);

#endif  // KTRP_BENCH_INSTANCE_H_
