// Names are their bytes: spellings that Unicode calls equivalent, and names
// that differ only in bytes that aren't UTF-8, are different items everywhere.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "core/operations/redomark.h"
#include "tests/command_line_fixture.h"
#include "tests/tree_snapshot.h"

namespace redomark::testing {
namespace {

const std::string composed = "caf\u00e9", decomposed = "cafe\u0301", brokenA = "x\xff", brokenB = "x\xfe";

class NamesAsBytes : public CommandLine, public ::testing::WithParamInterface<Volume> {
 protected:
  NamesAsBytes() : CommandLine(GetParam()) {}
  std::string folder = scratch / "names";
};

TEST_P(NamesAsBytes, EveryItemKeepsItsOwnBytesThroughSaveDiffAndRestore) {
  writeFiles(folder, {{composed, composed}, {decomposed, decomposed}, {brokenA, brokenA}, {brokenB, brokenB}, {"dir\xff/inner", "in"}});
  const TreeSnapshot before = snapshotTree(folder);

  const ToolRun save = tool({"save", folder, "--name", "week\xff"});
  EXPECT_EQ(save, ok(savedLine(savedId(save), folder, "5 files, 17 bytes") + notABackup))
      << "no item may look changed while saving";
  const Listed first = listed(folder).at(0);
  const std::string header = "Changes since " + line(first, "  \"week\uFFFD\"") + ":\n";
  EXPECT_EQ(tool({"diff", folder}), ok(header + "  none\n"));

  // The manifest is valid JSON text and keeps the exact bytes beside it.
  const std::string manifest = readFile(savedData(folder, first.id) + "/../manifest.json");
  EXPECT_NE(manifest.find("{\"p\":\"x\uFFFD\",\"b\":\"eP8=\",\"k\":\"f\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("{\"p\":\"dir\uFFFD\\/inner\",\"b\":\"ZGly\\/y9pbm5lcg==\""), std::string::npos) << manifest;

  ASSERT_EQ(unlink((folder + "/" + decomposed).c_str()), 0);
  ASSERT_EQ(unlink((folder + "/" + brokenB).c_str()), 0);
  writeFile(folder + "/" + brokenA, "changed");
  EXPECT_EQ(tool({"diff", folder}), ok(header + "  - cafe\u0301  (6 bytes)\n  - x\\xfe  (2 bytes)\n  ~ x\\xff  (7 bytes)\n"));

  // One item by its raw bytes, then the whole folder.
  EXPECT_EQ(tool({"restore", folder, "--file", brokenB, "--yes"}), ok("Restored \"x\\xfe\" in " + folder + " to " + first.id + ".\n"));
  EXPECT_EQ(readFile(folder + "/" + brokenB) + readFile(folder + "/" + brokenA), brokenB + "changed");
  ASSERT_EQ(tool({"restore", folder, "--yes"}).status, 0);
  EXPECT_EQ(snapshotTree(folder), before);

  // A name that isn't UTF-8 sorts as it is shown, its invalid byte as U+FFFD.
  writeFiles(folder, {{"\xa9", "1"}, {"\u00c5", "2"}});
  EXPECT_EQ(tool({"diff", folder}).out, header + "  + \u00c5  (1 byte)\n  + \\xa9  (1 byte)\n");

  // A name too long to take " (replaced by Redomark)" whole is cut to fit,
  // and what it replaced never stays behind under a hidden name.
  const std::string longName(240, 'n');
  writeFile(folder + "/" + longName, "old");
  saved(folder);
  writeFile(folder + "/" + longName, "new");
  const ToolRun cut = tool({"restore", folder, "--file", longName, "--yes"});
  // (The Trash cuts it further, for its ".trashinfo" file.)
  EXPECT_NE(cut.out.find("/files/" + std::string(232, 'n') + " (replaced by."), std::string::npos) << cut.out;
  EXPECT_EQ(readFile(folder + "/" + longName), "old");
  for (const std::string& name : sortedNames(folder)) EXPECT_FALSE(name.starts_with(".redomark-restore-")) << name;
}

TEST_P(NamesAsBytes, AFolderWhosePathIsNotTextIsRefusedBeforeAnythingIsWritten) {
  const std::string odd = scratch / "odd\xff\x1b";
  makeDirectory(odd);
  writeFile(odd + "/f", "f");
  EXPECT_EQ(tool({"save", odd}), failed(1, scratch / "odd\\xff\\x1b can't be saved: its path isn't valid UTF-8 text."));
  EXPECT_FALSE(pathExists(defaultStore()));
}

INSTANTIATE_TEST_SUITE_P(Volumes, NamesAsBytes, ::testing::Values(Volume::btrfs, Volume::xfs),
                         [](const auto& info) { return info.param == Volume::btrfs ? "Btrfs" : "Xfs"; });

}  // namespace
}  // namespace redomark::testing
