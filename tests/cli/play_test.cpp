// trimora-cli play under SDL's dummy drivers: state and position lines, the loop between the
// points, --for, and the player's message for a file that cannot be played.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "support/Fixtures.h"

namespace {

struct TPlayLines {
  std::vector<std::string> States;
  std::vector<long long> Positions;
};

TPlayLines Parse(const std::string& out) {
  TPlayLines p;
  std::istringstream in(out);
  std::string word;
  while (in >> word) {
    if (word == "state") {
      std::string name;
      in >> name;
      p.States.push_back(name);
    } else if (word == "position") {
      long long us = 0;
      in >> us;
      p.Positions.push_back(us);
    }
  }
  return p;
}

std::string Play(const std::string& args) {
  return "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy " + ShellQuote(TRIMORA_CLI) + " play " + args;
}

TEST(CliPlay, PlaysForTheGivenTimeWithRisingPositions) {
  const std::string file = FixturePath(FixtureKind::H264Mp4);
  TCliRun r = RunShell(Play(ShellQuote(file) + " --for 1.2"));
  ASSERT_EQ(r.Code, 0) << r.Err;
  const TPlayLines p = Parse(r.Out);
  ASSERT_FALSE(p.States.empty()) << r.Out;
  ASSERT_GE(p.Positions.size(), 5u) << r.Out;
  for (size_t i = 1; i < p.Positions.size(); ++i) EXPECT_GE(p.Positions[i], p.Positions[i - 1]);
  EXPECT_GT(p.Positions.back(), 600000);
  EXPECT_LT(p.Positions.back(), 2000000);
}

TEST(CliPlay, LoopsBetweenThePoints) {
  const std::string file = FixturePath(FixtureKind::H264Mp4);
  TCliRun r = RunShell(Play(ShellQuote(file) + " --start 0.5 --end 1.1 --for 2.5"));
  ASSERT_EQ(r.Code, 0) << r.Err;
  const TPlayLines p = Parse(r.Out);
  ASSERT_GE(p.Positions.size(), 5u) << r.Out;
  int jumpsBack = 0;
  for (size_t i = 0; i < p.Positions.size(); ++i) {
    EXPECT_GE(p.Positions[i], 400000) << i;
    EXPECT_LE(p.Positions[i], 1400000) << i;
    if (i && p.Positions[i] < p.Positions[i - 1]) ++jumpsBack;
  }
  EXPECT_GE(jumpsBack, 1) << r.Out;
}

TEST(CliPlay, UnplayableFileAndBadArguments) {
  TCliRun r = RunShell(Play("/nonexistent/clip.mp4 --for 1"));
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("No such file or directory"), std::string::npos) << r.Err;
  EXPECT_EQ(RunShell(Play(ShellQuote(FixturePath(FixtureKind::H264Mp4)) + " --for soon")).Code, 2);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
