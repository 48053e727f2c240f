#pragma once
// Running trimora-cli from the tests: exit code, standard output and standard error apart;
// the frame numbers that the pictures of a written file show.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/FFDecode.h"
#include "support/Fixtures.h"

struct TCliRun {
  int Code = -1;
  std::string Out, Err;
};

inline TCliRun RunShell(const std::string& cmd) {
  char errName[] = "/tmp/trimora-cli-err-XXXXXX";
  const int fd = mkstemp(errName);
  if (fd >= 0) close(fd);
  TCliRun r;
  FILE* p = popen((cmd + " 2>" + errName).c_str(), "r");
  if (p) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.Out.append(buf, n);
    const int st = pclose(p);
    r.Code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  std::ifstream e(errName);
  std::stringstream ss;
  ss << e.rdbuf();
  r.Err = ss.str();
  unlink(errName);
  return r;
}

// Single quotes for the shell.
inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The numbers shown by the pictures of a file, in the order the decoder gives them.
inline std::vector<int> FrameNumbers(const std::string& file) {
  std::vector<int> numbers;
  TFFDecoder dec;
  if (!dec.LoadFile(file)) return numbers;
  while (dec.Decode()) numbers.push_back(ReadFrameNumber(dec.Picture()));
  return numbers;
}

// from, from + 1, ..., to.
inline std::vector<int> Counting(int from, int to) {
  std::vector<int> v;
  for (int n = from; n <= to; ++n) v.push_back(n);
  return v;
}
