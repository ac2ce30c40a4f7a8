// orvcopy's calls of rclone, against a stand-in script: the arguments arrive as they were
// given, whatever they hold; a failure, a hang and a missing program each give a message a
// user can act on.
#include "Rclone.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fstream>

namespace {

using namespace std::chrono_literals;

// An executable script in `dir` that runs `body` as rclone would be run.
std::string StandIn(const tooltest::TempDir& dir, const std::string& body) {
  const std::string path = (dir.Path() / "rclone").native();
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(Rclone, ArgumentsArriveAsGivenAndFailuresSayWhatTheyMean) {
  tooltest::TempDir dir;
  const orvcopy::Rclone echo(StandIn(dir, R"(printf '%s|' "$@"; echo "ERROR : x: not there" >&2)"));
  const std::string owned = (dir.Path() / "owned").native();
  const std::vector<std::string> words = {"copyto", "a b", "$(touch " + owned + ")", ";", "*", ""};
  const orvcopy::RcloneResult ran = echo.Run(words, 10s);
  EXPECT_TRUE(ran.Succeeded());
  EXPECT_EQ(ran.output, "copyto|a b|$(touch " + owned + ")|;|*||");
  EXPECT_FALSE(std::filesystem::exists(owned));

  const orvcopy::Rclone failing(StandIn(dir, "echo 'first' >&2; echo 'the reason' >&2; exit 7"));
  const orvcopy::RcloneResult failed = failing.Run({}, 10s);
  EXPECT_FALSE(failed.Succeeded());
  EXPECT_EQ(failed.exitCode, 7);
  const std::string why = failing.Explain(failed);
  EXPECT_NE(why.find("fatal error"), std::string::npos) << why;
  EXPECT_NE(why.find(": the reason"), std::string::npos) << why;
}

TEST(Rclone, AHangIsEndedAndAMissingProgramIsNamed) {
  tooltest::TempDir dir;
  const orvcopy::Rclone hanging(StandIn(dir, "exec sleep 60"));
  const orvcopy::RcloneResult hung = hanging.Run({}, 200ms);
  EXPECT_TRUE(hung.started && hung.timedOut);
  EXPECT_NE(hanging.Explain(hung).find("did not finish in time"), std::string::npos);

  const orvcopy::Rclone missing((dir.Path() / "no-such-rclone").native());
  const orvcopy::RcloneResult none = missing.Run({"version"}, 10s);
  EXPECT_FALSE(none.started);
  EXPECT_NE(missing.Explain(none).find("install rclone"), std::string::npos);
}

// Against the real rclone, with a remote of the local file system set up by variables, as a
// user's configuration would name one.
TEST(Rclone, AProbeTellsAFolderNothingAFileAndAnUnknownRemote) {
  tooltest::TempDir dir;
  ::setenv("RCLONE_CONFIG_ORVTEST_TYPE", "local", 1);
  std::ofstream(dir.Path() / "file") << "x";
  const orvcopy::Rclone rclone;
  using Found = orvcopy::Rclone::Found;
  std::string why;
  const std::string at = "orvtest:" + dir.Path().native();
  EXPECT_EQ(rclone.Probe(at, why), Found::Folder) << why;
  EXPECT_EQ(rclone.Probe(at + "/none", why), Found::Nothing) << why;
  EXPECT_EQ(rclone.Probe(at + "/file", why), Found::NotAFolder) << why;
  EXPECT_EQ(rclone.Probe("orvtest-unknown:" + dir.Path().native(), why), Found::Unusable);
  EXPECT_NE(why.find("didn't find section in config file"), std::string::npos) << why;
}

TEST(Rclone, RemoteLocationsAreTold) {
  EXPECT_EQ(orvcopy::RemoteOf("rclone:store:backups/home"), "store:backups/home");
  EXPECT_EQ(orvcopy::RemoteOf("rclone:store:"), "store:");
  EXPECT_FALSE(orvcopy::RemoteOf("rclone::path"));
  EXPECT_FALSE(orvcopy::RemoteOf("rclone:store"));
  EXPECT_FALSE(orvcopy::RemoteOf("/home/me/rclone:store:x"));
}

}  // namespace
