#pragma once
// Base of every media component: identity texts and the blocking-I/O time-outs that the
// components' interrupt callbacks read.
#include <cstdint>
#include <string>

class TFFBaseComponent {
public:
  TFFBaseComponent() = default;
  virtual ~TFFBaseComponent() = default;
  TFFBaseComponent(const TFFBaseComponent&) = delete;
  TFFBaseComponent& operator=(const TFFBaseComponent&) = delete;

  const std::string& About() const { return FAbout; }
  void SetAbout(const std::string& v) { FAbout = v; }
  const std::string& Version() const { return FVersion; }
  void SetVersion(const std::string& v) { FVersion = v; }
  // Milliseconds.
  int32_t ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int32_t v) { FReadTimeout = v; }
  int32_t WriteTimeout() const { return FWriteTimeout; }
  void SetWriteTimeout(int32_t v) { FWriteTimeout = v; }

private:
  std::string FAbout;
  std::string FVersion = "5.2";
  int32_t FReadTimeout = 30000;
  int32_t FWriteTimeout = 30000;
};
