// -compare OTHER runs every command with this build and with OTHER on the
// same files and checks that standard output, standard error, exit status
// and the rp config and rp select config left behind are the same, byte for
// byte: for the benchmark's instances and for small ones made to reach the
// corners (aliases sharing a registry key, two dc_uid settings for one alias,
// keys that only the pattern matches, DC UIDs found under several keys, bytes
// that JSON escapes, an rp select config without a default line).
#include "compare.h"

#include <unistd.h>

#include <cstdio>

namespace {

std::string trickyRpConfig(size_t extra) {
  std::string s = "rp.enable = yes\n";
  auto add = [&](const std::string& line) { s += line + "\n"; };
  add("rp.upstreams[alpha].address = alpha.example:1");
  add("rp.upstreams[beta].dc_uid = alpha");  // beta's registry key is alpha's
  add("rp.upstreams[beta].address = beta.example:1");
  add("rp.upstreams[beta].stat = beta.example:2");
  add("rp.upstreams[gamma].dc_uid = G1");
  add("rp.upstreams [gamma].dc_uid = G2");  // a second dc_uid for gamma
  add("rp.upstreams[gamma].address = gamma.example:1");
  add("rp.upstreams [delta].address = delta.example:1");  // only the pattern finds delta
  add("rp.upstreams[eps].x[1].address = eps.example:1");
  add("rp.upstreams[p].dc_uid = Z");
  add("rp.upstreams[p].address = p.example:1");
  add("rp.upstreams[q].note = Z");  // Z again, under another alias
  add("misc = Z");
  add("rp.upstreams[h<&>\"\\].address = a<b>&\"c\\d\x80\xff\xe2\x80\xa8");
  s += "rp.upstreams[crlf].address = crlf.example:1\r\n";
  add("rp.upstreams[empty].address =");
  add("rp.upstreams[empty].secret = s3cr3t");
  add("rp.upstreams[twice].address = first.example:1");
  for (size_t i = 0; i < extra; ++i) {
    uint64_t r = mix(i + 12345);
    std::string alias = r % 3 == 0 ? format("up%zu", i) : uuidOf(i + 777);
    if (r % 3 == 0) add("rp.upstreams[" + alias + "].dc_uid = " + (r % 7 == 0 ? uuidOf(i + 776) : uuidOf(i + 999999)));
    add("rp.upstreams[" + alias + "].address = " + format("10.1.%zu.%zu:7443", i / 256 % 256, i % 256));
    if (r % 2) add("rp.upstreams[" + alias + "].redirect = " + format("r%zu.example", i));
    add("rp.upstreams[" + alias + "].secret = " + textOf(i, 40, kBase64));
    add("rp.upstreams[" + alias + "].cert_digest = " + textOf(i + 1, 64, kHex));
  }
  add("rp.upstreams[twice].address = second.example:1");  // the later line wins
  return s;
}

std::string trickySelectConfig(size_t extra, bool withDefault) {
  std::string s;
  if (withDefault) s += "rp.select = alpha:10 beta:20 p:30 Z:5 gamma:0\n";
  for (size_t d = 0; d < 12; ++d) {
    s += format("certs[d%zu.example].rp.select =", d);
    s += d % 3 == 0 ? " p:40 alpha:60" : " beta:50";
    for (size_t k = 0; k < 3 && extra > 0; ++k) s += format(" up%zu:%zu", (d * 31 + k * 7) % extra, k * 10);
    s += "\n";
  }
  s += "rp.select_threshold = 55";
  return s;
}

struct Outcome {
  int status = -1;
  std::string out, err, rp, select;
};

Outcome runCase(const std::string& scratch, Instance& in, const std::string& binary,
                const std::vector<std::string>& args) {
  restore(in);
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  Run r = spawn(argv, {}, scratch + "/out.txt", scratch + "/err.txt");
  Outcome o;
  o.status = r.status;
  o.out = readFile(scratch + "/out.txt");
  o.err = readFile(scratch + "/err.txt");
  o.rp = readFile(in.rp);
  o.select = ::access(in.select.c_str(), F_OK) == 0 ? readFile(in.select) : "<none>";
  return o;
}

std::string joinArgs(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += (s.empty() ? "" : " ") + a;
  return s;
}

// Runs each case with both binaries; prints the differences. The number of
// cases that differ.
int compareCases(const std::string& scratch, Instance& in, const std::string& other,
                 const std::vector<std::vector<std::string>>& cases) {
  int differing = 0;
  for (const auto& args : cases) {
    Outcome mine = runCase(scratch, in, KTRP_BINARY, args);
    Outcome theirs = runCase(scratch, in, other, args);
    std::string what;
    if (mine.status != theirs.status) what += format(" status %d vs %d;", mine.status, theirs.status);
    if (mine.out != theirs.out) what += " standard output;";
    if (mine.err != theirs.err) what += " standard error;";
    if (mine.rp != theirs.rp) what += " rp config;";
    if (mine.select != theirs.select) what += " rp select config;";
    std::printf("  %-4s %s: %s\n", what.empty() ? "same" : "DIFF", in.dir.c_str(), joinArgs(args).c_str());
    if (!what.empty()) {
      std::printf("       differs in:%s\n", what.c_str());
      ++differing;
    }
  }
  restore(in);
  return differing;
}

}  // namespace

int compareBuilds(const std::string& scratch, const std::string& other, const std::vector<size_t>& sizes,
                  const std::function<std::vector<std::vector<std::string>>(const Instance&)>& benchCases) {
  int differing = 0;
  std::printf("comparing %s with %s\n", KTRP_BINARY, other.c_str());
  for (size_t extra : {size_t{0}, size_t{40}, size_t{3000}}) {
    for (bool withDefault : {true, false}) {
      Instance in = makeInstanceWith(scratch, format("tricky%zu%s", extra, withDefault ? "" : "-nodefault"), extra,
                                     trickyRpConfig(extra), trickySelectConfig(extra, withDefault));
      activate(scratch, in);
      std::vector<std::vector<std::string>> cases = {
          {"upstreams"},
          {"upstream-uids"},
          {"upstream-uids", "-j"},
          {"get-upstream", "-dc-uid", "Z", "-j"},
          {"get-upstream", "-dc-uid", "Z", "-alias", "-address", "-redirect", "-stat", "-secret", "-digest"},
          {"get-upstream", "-dc-uid", "G1", "-j"},
          {"get-upstream", "-dc-uid", "G2", "-j"},
          {"get-upstream", "-dc-uid", "alpha", "-j"},
          {"get-upstream", "-dc-uid", "empty", "-j"},
          {"get-upstream", "-dc-uid", "nobody", "-j"},
          {"accounts-balancing", "-weights"},
          {"accounts-balancing", "-weights", "-j"},
          {"accounts-balancing", "-weight-for-name", "alpha", "-j"},
          {"rm-upstream", "-dc-uid", "G2"},
          {"rm-upstream", "-dc-uid", "Z"},
          {"rm-upstream", "-dc-uid", "alpha"},
          {"rm-upstream", "-alias", "delta"},
          {"change-upstream", "-dc-uid", "Z", "-alias", "zed"},
          {"change-upstream", "-dc-uid", "G1", "-address", "g.example:2"},
          {"accounts-balancing", "-set-weight-for-name", "alpha", "7"},
          {"add-upstream", "-dc-uid", "NEW", "-alias", "new", "-address", "n:1", "-secret", "s", "-digest", "d"},
          {"add-upstream", "-dc-uid", "alpha", "-address", "n:1", "-secret", "s", "-digest", "d"},
          {"import-registration", "-in", in.doc},
          {"export-registration"},
      };
      differing += compareCases(scratch, in, other, cases);
    }
  }
  for (size_t n : sizes) {
    Instance in = makeInstance(scratch, format("n%zu", n), n);
    activate(scratch, in);
    differing += compareCases(scratch, in, other, benchCases(in));
    removeTree(in.dir);
  }
  std::printf("%d case(s) differ\n", differing);
  return differing == 0 ? 0 : 1;
}
